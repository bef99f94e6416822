/*
 * Preloaded into the host harness: OpenSSL's library init, which libcurl's global init calls,
 * takes a few hundred milliseconds longer, so that a host thread that forks while libcurl is
 * being made ready does so every time instead of once in a thousand runs.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <time.h>

#define SSL_LIBRARY "libssl.so.3"
#define STRETCH_NS 400000000L

typedef int (*InitSslFn)(uint64_t, const void*);

__attribute__((visibility("default"))) int OPENSSL_init_ssl(uint64_t options, const void* settings)
{
    const struct timespec stretch = {0, STRETCH_NS};
    void* ssl = dlopen(SSL_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    InitSslFn next = NULL;
    nanosleep(&stretch, NULL);
    if (ssl != NULL) {
        *(void**)&next = dlsym(ssl, "OPENSSL_init_ssl");
    }
    return next != NULL ? next(options, settings) : 0;
}
