/*
 * Seekwell: finds ROVA robots on the local network.
 *
 * One call, DiscoveryROVAByUPnP, runs one complete search and blocks until it
 * is over. Where the platform's UPnP finder is installed the search goes
 * through it; otherwise the library multicasts one SSDP M-SEARCH, listens for
 * 10 seconds and fetches each responder's description, so a call lasts at
 * least those 10 seconds plus the fetches.
 *
 * The finder search runs in a helper program installed beside the library
 * (seekwell/seekwell-finder-gupnp in the folder the library was loaded from,
 * resolved as an absolute path while it loads), which the call starts with
 * posix_spawn and reaps itself before it returns; nothing the devices send is
 * parsed in the caller's process. The host's SIGCHLD disposition plays no
 * part; a host that reaps every child itself may collect the helper's status,
 * and the call still returns in time. Where process handles (pidfd_open) or
 * waits on them are refused, the helper is waited for by its process ID.
 *
 * Every descriptor the library opens is close-on-exec from the moment it
 * exists, libcurl's own included; the library never changes a descriptor it
 * did not create. A fork while libcurl is being loaded and initialised waits
 * until that is done; a forked child may make calls of its own.
 *
 * The built-in search fetches with libcurl, which the library loads
 * (libcurl.so.4) the first time a search runs, while the window is open; loading
 * the library itself maps no more than the C and C++ runtimes. Where libcurl
 * cannot be loaded, every fetch fails and the call reports no robot.
 *
 * How long a call can last:
 *  - finder path: a check that the helper runs here (a few milliseconds, at
 *    most 1 s), the 10 s window, then at most 1 s for the helper to hand over
 *    what it found and exit before it is killed: 12 s.
 *  - built-in search: the 10 s window, then one fetch per responder, one
 *    after the other, each ending after 30 s without a connection, after
 *    30 s of silence, or after 60 s in all: at most 10 s + 16 x 60 s = 970 s.
 *  A call that waits for an overlapping one adds that one's time.
 *
 * The built-in search holds UDP port 1900 for the whole call: replies come
 * back by unicast to the port the search was sent from. It sets no address
 * reuse, because Linux gives each unicast datagram to only one of the
 * sockets sharing a port; meanwhile another SSDP program on this host cannot
 * bind the port. When one already holds it, the search goes on from a port
 * the system picks.
 *
 * What the two paths report differs: on the finder path the name is decoded
 * by an XML parser (entities resolved) and the address is the host text of
 * the robot's presentation URL (it may carry a port or a path, such as
 * "192.0.2.11:8080/app"); on the built-in path the name is the document's
 * text taken verbatim and the address is always a dotted IPv4 address.
 *
 * Contract:
 *  - results points to an array of at least 16 DISCOVERY_RESULT records.
 *  - A call returning n (0..16) has written both fields of records 0..n-1 and
 *    nothing else; records n..15 keep what the caller left in them. The array
 *    is never read.
 *  - Every string stored is a separate copy made with strdup(); from then on
 *    it belongs to the caller, which releases each one with free(). A copy
 *    that could not be made is stored as NULL and the record still counts.
 *  - -1 means no search took place and the array is untouched (for instance
 *    when results is NULL).
 *  - Calls may come from any thread; overlapping calls are run one after the
 *    other.
 *  - A cancellation request for the calling thread (pthread_cancel) takes
 *    effect only after the call has returned, at the caller's next
 *    cancellation point.
 */
#ifndef SEEKWELL_SEEKWELL_H
#define SEEKWELL_SEEKWELL_H

#if defined(SEEKWELL_BUILDING_LIBRARY)
#define SEEKWELL_API __attribute__((visibility("default")))
#else
#define SEEKWELL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version; the package that installs this header has the same. */
#define SEEKWELL_VERSION_MAJOR 2
#define SEEKWELL_VERSION_MINOR 0
#define SEEKWELL_VERSION_PATCH 1080
#define SEEKWELL_VERSION_TEXT "2.0.1080"

/* Number of records the caller's array must hold. */
#define SEEKWELL_MAX_RESULTS 16

/* What DiscoveryROVAByUPnP returns when no search took place. */
#define SEEKWELL_NO_SEARCH (-1)

/* The response window of every search, in milliseconds: no call is shorter. */
#define SEEKWELL_SEARCH_WINDOW_MS 10000

typedef struct DISCOVERY_RESULT {
    char* pszName;    /* the robot's friendly name */
    char* pszAddress; /* its network address (dotted IPv4 on the built-in path) */
} DISCOVERY_RESULT;

/*
 * Runs one search and blocks until it is over (see above for how long).
 * Returns:
 *  - 0..SEEKWELL_MAX_RESULTS: a search ran and found that many robots, written
 *    to records 0..n-1 (0: none answered; 16 may mean more than 16 are there);
 *  - SEEKWELL_NO_SEARCH (-1): no search took place and results is untouched:
 *    results is NULL, or the search could not be started (the call could not
 *    wait for an overlapping one, or the finder helper failed to start).
 */
SEEKWELL_API int DiscoveryROVAByUPnP(DISCOVERY_RESULT* results);

#ifdef __cplusplus
}
#endif

#endif /* SEEKWELL_SEEKWELL_H */
