// libcurl 7.88 makes the wake-up pair of each multi handle (curl_easy_perform
// makes one for every easy handle) with a plain socketpair(AF_UNIX,
// SOCK_STREAM, 0), and no option changes that: a program that another host
// thread starts in the microseconds before anyone could mark the pair would
// inherit it. So libcurl's own call of socketpair is pointed at one that adds
// SOCK_CLOEXEC, for the library's calls only: a host that uses the same
// libcurl keeps its own sockets exactly as libcurl makes them. Its close is
// pointed at one that, on the library's calls, forgets the descriptor where
// the thread notes them (platform/owned_descriptors.h), and the pair is noted
// as it is made, so a forked child can close its copies of both.
#ifndef SEEKWELL_FETCH_CURL_WAKEUP_PAIR_H
#define SEEKWELL_FETCH_CURL_WAKEUP_PAIR_H

namespace seekwell::platform {

// Rewrites the socketpair and close entries of the loaded libcurl's
// relocation table (libcurl is the object behind handle, from dlopen). False
// where that cannot be done: another processor than x86-64 and AArch64, or a
// table that cannot be written; libcurl then makes its pairs as it always
// does, and they are not noted.
bool RouteCurlSocketPairs(void* libcurlHandle);

// While one lives, the socket pairs that libcurl makes on this thread are
// close-on-exec from the moment they exist.
class OwnCurlCalls {
public:
    OwnCurlCalls();
    ~OwnCurlCalls();
    OwnCurlCalls(const OwnCurlCalls&) = delete;
    OwnCurlCalls& operator=(const OwnCurlCalls&) = delete;

private:
    bool outer_;
};

}  // namespace seekwell::platform

#endif  // SEEKWELL_FETCH_CURL_WAKEUP_PAIR_H
