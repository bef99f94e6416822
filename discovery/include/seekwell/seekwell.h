/*
 * Seekwell: finds ROVA robots on the local network.
 *
 * One call, DiscoveryROVAByUPnP, runs one complete search and blocks until it
 * is over. Where the platform's UPnP finder is installed the search goes
 * through it; otherwise the library multicasts one SSDP M-SEARCH, listens for
 * 10 seconds and fetches each responder's description, so a call lasts at
 * least those 10 seconds plus the fetches.
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

/* Number of records the caller's array must hold. */
#define SEEKWELL_MAX_RESULTS 16

typedef struct DISCOVERY_RESULT {
    char* pszName;    /* the robot's friendly name */
    char* pszAddress; /* its network address (dotted IPv4 on the built-in path) */
} DISCOVERY_RESULT;

SEEKWELL_API int DiscoveryROVAByUPnP(DISCOVERY_RESULT* results);

#ifdef __cplusplus
}
#endif

#endif /* SEEKWELL_SEEKWELL_H */
