/*
 * Seekwell: finds ROVA robots on the local network.
 *
 * Two ways in. The first, DiscoveryROVAByUPnP, runs one complete search and
 * blocks until it is over; the live search, further below, reports robots as
 * they answer. Where the platform's UPnP finder is installed a blocking call
 * searches through it; otherwise the library multicasts one SSDP M-SEARCH, listens for
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
 *  - finder path: the 10 s window, counted from the start of the call, so
 *    the check that the helper runs here (a few milliseconds, at most 1 s)
 *    and the helper's start fall inside it; then at most 1 s for the helper
 *    to hand over what it found before it is killed: 11 s.
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
 * by an XML parser (entities resolved), then given as the live search gives
 * it (valid UTF-8, each byte that is not UTF-8 replaced by U+FFFD, control
 * characters dropped, at most 2047 bytes cut at a character's end), and the
 * address is the robot's presentation URL less its first seven characters
 * ("http://") and everything from its last '/' on, so it may carry a port or
 * a path, such as "192.0.2.11:8080/app"; on the built-in path the name is
 * the document's text taken verbatim, any bytes, and the address is always a
 * dotted IPv4 address, the LOCATION's host as inet_addr() reads it. The
 * built-in path reads the first 4069 bytes of a description: a robot whose
 * UDN or name ends beyond them is not reported, or has an empty name.
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

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; the package that installs it has the same.
 * 2.0 brought DiscoveryROVAByUPnP; 2.1 the live search, seekwell_blocking_search_path and
 * seekwell_version. A host asks the library it runs with through seekwell_version(). */
#define SEEKWELL_VERSION_MAJOR 2
#define SEEKWELL_VERSION_MINOR 1
#define SEEKWELL_VERSION_PATCH 0
#define SEEKWELL_VERSION_TEXT "2.1.0"
/* (major << 16) | (minor << 8) | patch, for comparisons such as >= 0x020100. */
#define SEEKWELL_VERSION_NUMBER 0x020100

/* The version of the library that runs, which may be newer than the header a
 * host was built with. Fields are only ever added at the end. */
typedef struct seekwell_version_info {
    int major;
    int minor;
    int patch;
    unsigned int number; /* as SEEKWELL_VERSION_NUMBER */
    const char* text;    /* "2.1.0" */
} seekwell_version_info;

/* The running library's version: static storage, never NULL, the same on every
 * call from any thread. Present since 2.1: a host that must also run with a
 * 2.0 library looks it up with dlsym() first; where it is missing, the library
 * is 2.0 and has DiscoveryROVAByUPnP alone. */
SEEKWELL_API const seekwell_version_info* seekwell_version(void);

/* Number of records the caller's array must hold. */
#define SEEKWELL_MAX_RESULTS 16

/* What DiscoveryROVAByUPnP returns when no search took place. */
#define SEEKWELL_NO_SEARCH (-1)

/* The blocking call's response window, in milliseconds (no call of it is
 * shorter), and the live search's default window. */
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

/* The ways DiscoveryROVAByUPnP can search. */
typedef enum seekwell_search_path {
    SEEKWELL_PATH_FINDER = 1,   /* through the finder helper (GUPnP, in a process of its own) */
    SEEKWELL_PATH_BUILT_IN = 2, /* the library's own search */
    SEEKWELL_PATH_NONE = 3      /* no search would take place */
} seekwell_search_path;

/*
 * Which way DiscoveryROVAByUPnP would search if called now: a
 * seekwell_search_path value, never an error. It decides as the call does,
 * by starting the finder helper where one is installed and waiting for its
 * answer (at most about a second; at once where none is installed). The
 * live search always takes the library's own way.
 */
SEEKWELL_API int seekwell_blocking_search_path(void);

/*
 * The live search: a second way in, for hosts that want each robot the
 * moment it answers, a search they can stop, and the reason a responder was
 * left out. It reports the robots the built-in path of DiscoveryROVAByUPnP
 * would report (same marker, LOCATION, description and UDN rules, same
 * address), without a limit of 16, and fetches each description only from
 * the IPv4 address that sent the reply. Two things differ: it reads up to
 * 16 KiB of a description, so that a long name does not hide the UDN after
 * it, and it gives a name as the finder path does (see name below).
 *
 * Who is believed: a reply counts only when it arrived on an interface the
 * search searches on, from a sender inside that interface's subnet (on a
 * point-to-point link, its peer; on one without a peer, its subnet) that is
 * not one of this host's own addresses; the description is then fetched
 * from that sender over that interface (the connection bound to it), and the
 * events name it. Anything else is SKIPPED (OTHER_INTERFACE, OFF_SUBNET,
 * OWN_ADDRESS) and no connection is made. A device on the same LAN can still
 * forge the address of another device on that LAN, and so be fetched from
 * in its name; it cannot make the host connect beyond the LAN or to itself.
 * The LOCATION header is read as the blocking call reads it, exactly
 * "LOCATION: http://", so that both ways in report the same robots; the
 * other headers (USN, NTS, BOOTID.UPNP.ORG) are read as HTTP reads headers,
 * in any letter case.
 *
 * Limits, so that a LAN device sending forged datagrams at any rate cannot
 * grow the host's memory without bound, nor make it fetch without bound: an
 * address is read at most once a round, whatever arrives from it (replies,
 * announcements, targets, checks); forged replies that would each be
 * fetched do not delay a robot while they come slower than the quick lane
 * clears them (about 250 a second); faster, a robot's reply may go
 * unexamined until a later one of its own finds room. A search holds at
 * most 4096 responders (robots are never dropped for a stranger; of the
 * responders left out, the one least recently heard is forgotten first, and
 * may be told again later), at most 384 descriptions being read and 1024
 * more waiting for room. Fetches start in a quick lane of 64; one not over
 * after 250 ms moves to a patient lane of 64, and when that is full it is
 * given up (SKIPPED, OVERLOAD): a device on the link answers in
 * milliseconds, so forged senders where nothing answers hold the patient
 * lane, never the quick one. A reply that finds the responders or the
 * waiting reads full goes unexamined: the first of each round is told as
 * one SKIPPED event (OVERLOAD, with the count so far in words) and DONE's
 * reason ends with the total ("; N replies went unexamined ..."). A
 * datagram is read up to its first 8 KiB, a description up to its first
 * 16 KiB. An event's LOCATION and UDN are cut to their first 255 bytes, its
 * name to 2047; at most 1024 SKIPPED events wait for a host that does not
 * dispatch, and waiting ROBOT and GONE events of one robot are merged (see
 * seekwell_search_dispatch).
 *
 * A search runs on a thread of its own, which never calls the host: events
 * wait in the search until the host dispatches them on a thread of its
 * choosing, either from its event loop when seekwell_search_fd() becomes
 * readable, or by blocking in seekwell_search_wait().
 *
 * Threading: every function may be called from any thread. Dispatching
 * (seekwell_search_dispatch, seekwell_search_wait) on one search runs on one
 * thread at a time; a second dispatching thread waits for the first, so the
 * callback of one search never runs twice at once. seekwell_search_fd and
 * seekwell_search_cancel may be called at any time, also concurrently with a
 * dispatch and from inside the callback. Dispatching or waiting on a search
 * from inside its own callback returns 1 at once and delivers nothing.
 * seekwell_search_free is the last call on a search; the one exception is a
 * free made from inside its own callback, which may come while other threads
 * wait to dispatch: the release then waits until every thread inside
 * seekwell_search_dispatch or seekwell_search_wait on it has left, and those
 * that were waiting return 0 without running the callback.
 *
 * C++ hosts: an exception thrown by the callback leaves through the
 * seekwell_search_dispatch or seekwell_search_wait that ran it, untouched.
 * The event it was thrown for counts as delivered; the events after it stay
 * waiting (the descriptor stays readable) for the next dispatch, in order.
 * A callback may free the search and then throw: everything is released
 * before the exception leaves the library. The library's own failures never
 * leave as exceptions.
 *
 * A robot is its UDN: events carry the UDN of its description (udn), and
 * name one address for it. ROBOT comes once for each robot (again after a
 * GONE, when it answers anew, and again when its description changes its
 * name); between two ROBOT events of one UDN at one address there is a
 * GONE, unless the second tells a new name. While a robot answers at its
 * address, no other address takes its UDN: another address whose
 * description names it (the robot's second link, or a device copying its
 * UDN) stands by, and the robot's own address is read again at once to see
 * whether it still answers; a robot on two links is told once. A robot
 * moves (one ROBOT with its new address, no GONE) only once its address no
 * longer answers for it: a byebye, a missed round, or that check failing
 * (no answer within 250 ms, as a device on the link gives) or finding
 * another UDN there, so a robot whose address changed (DHCP) moves within a
 * second of its first word from the new one. A reply or
 * announcement from a robot's address that names another UDN in its USN,
 * another LOCATION or another BOOTID.UPNP.ORG has the description read
 * again at once (at the next round's start when that address was read this
 * round already): a new robot at a known address is told, and the one that
 * was there is GONE unless it answers elsewhere. A responder left out is
 * checked again when it answers a later search; the same reason is not told
 * twice in a row. Descriptions come from http://<sender>/ROVA.XML, port 80.
 *
 * Announcements (since 2.1): while it listens, a search also hears the SSDP
 * announcements devices multicast on each chosen interface (NOTIFY to
 * 239.255.255.250:1900), on a socket of each interface that shares UDP port
 * 1900 with every other SSDP program (address reuse), is bound to the group,
 * so that datagrams sent to this host's own addresses go to whoever else
 * listens, and joins it on that interface alone: a socket may join a group
 * on 20 interfaces only (igmp_max_memberships), a search on any number. A
 * program that holds the port alone (a blocking call of this library, which
 * then searches from a port the system picks, as documented) keeps the
 * search from hearing them until it lets go; the search tries again each
 * round. A multicast datagram counts only from the subnet of the interface
 * it came in on, targets included: multicast never crosses a router.
 *  - ssdp:alive (and ssdp:update) is judged as a reply from that sender: the
 *    same origin rules and robot rules, the description fetched from the
 *    sender. A robot not yet reported comes as ROBOT within a second; one
 *    reported is kept from GONE; a new LOCATION, BOOTID.UPNP.ORG or UDN has
 *    its description read again. An announcement that fails a check is not
 *    told (every device on a LAN announces).
 *  - ssdp:byebye (no LOCATION; it names the device by its USN) from a
 *    reported robot's own address, naming that robot's UDN: the robot moves
 *    to an address that stands by for it (one heard this round or the
 *    last), or, in a watch, is GONE at once. From an address that stands by
 *    for the robot, that address no longer does; from any other address it
 *    does nothing.
 *
 * Interfaces (since 2.1): the search follows the host's interfaces as the
 * kernel lists them (rtnetlink; where a sandbox refuses word of changes, at
 * each round), each known by its index with all its IPv4 addresses,
 * labelled ones included. One that comes up, gains carrier or an address, or
 * whose address changes in any burst, is searched on within a second; one
 * that goes away (removed, or its last IPv4 address gone) has its robots
 * GONE within a second and its sockets closed, whatever state it was in
 * before. An interface that is down or without carrier for a while keeps its
 * robots: a robot misses only the rounds that searched where it answers (its
 * interface, or its address as a target), and is GONE when a round's
 * listening is over, after SEEKWELL_GONE_AFTER_MISSED of them, unless another
 * of its addresses answered that round: then it moves there.
 *
 * GONE is told in a watch (window 0) only. A search with a window never
 * tells a robot again at the address it was last told at (but for a new
 * name), however it comes and goes meanwhile.
 *
 * Targets (seekwell_options.targets), for robots that multicast does not
 * reach: behind a router, on a Wi-Fi that filters multicast, beyond a VM's
 * NAT. The multicast search goes on beside them, on the chosen interfaces.
 *  - An address is asked directly: its description is fetched from
 *    http://<address>/ROVA.XML, so a robot is found even where no SSDP
 *    datagram gets through. The addresses take turns as the reads leave
 *    room, each at most once a round and each round going on where the last
 *    stopped, so every one is asked within 20 s whatever the others do (a
 *    short list, every round). The robot rules are those of a reply (UDN
 *    marker, limits, name and address); a description that is no robot's
 *    gives SKIPPED with its reason, as for a reply.
 *  - A range is swept: a unicast M-SEARCH to port 1900 of each of its
 *    addresses (not the network and broadcast addresses of a range of /30
 *    or wider), as UPnP 1.1 devices answer them, each sent again 1 s after
 *    its first, at most 1000 datagrams a second in all
 *    (SEEKWELL_SWEEP_DATAGRAMS_PER_SECOND); whoever answers is then handled
 *    as any reply. A /24 is swept in about 1.5 s, a /20 in about 9.
 *  - A unicast reply from a target counts even though it lies beyond the
 *    subnet of the interface it arrived on (its description is fetched where
 *    the routes say); nothing else does, no announcement from a target
 *    beyond the subnet, and no datagram from this host's own addresses.
 *    Nothing is sent to an address outside the targets and the multicast
 *    group.
 *  - seekwell_search_start answers -EINVAL, and nothing starts, for a target
 *    that is not a dotted IPv4 address or CIDR range (a hostname, say), that
 *    is not a unicast address (loopback, multicast, broadcast, 0.0.0.0/8), a
 *    prefix shorter than /20, or more than 4096 addresses in all.
 *    seekwell_check_targets tells which entry it refuses first, and why.
 * With targets, a search runs even where no interface can multicast.
 *
 * Many robots (since 2.1): a LAN of many robots answering a search at once
 * can overflow a socket's receive buffer, which the search asks to be as
 * large as the system allows, up to 16 MiB (net.core.rmem_max: 208 KiB
 * unless raised, some 160 replies); the kernel drops the rest and counts
 * them. In a round
 * where it counted drops on an interface, the search asks again, once the
 * replies to the round's second send are in, every device the kernel's
 * neighbour table knows on that interface, within its subnet, that has not
 * answered this round: one unicast M-SEARCH each, at most 1000 a second,
 * whose answers come one by one. Where that cannot learn all who answered
 * (the neighbour table cannot be read, it holds more devices than the round
 * has time to ask, more are dropped meanwhile, or the drops came too late in
 * the round), the host gets one SEEKWELL_EVENT_DROPPED a round for the
 * interface, with the count and what would help in reason, and DONE's
 * reason ends with "; N replies dropped for want of room were not all
 * learnt again (net.core.rmem_max)". A reply whose read finds the reads
 * under way full waits for room, up to 1024 of them in the order they
 * answered, so a LAN of a thousand robots is read whole.
 *
 * When nothing answers: an interface on which no device at all answered a
 * round's searches (within 2 s of the round's start, or by the end of a
 * shorter window or period) gets one SEEKWELL_EVENT_QUIET with its name and
 * a reason in words, once, until a device answers there again. A network
 * that filters multicast, a firewall or a client-isolating Wi-Fi look like
 * that; devices that answer but are no robots do not (their SKIPPED events
 * tell the story). DONE's reason ends with "; no device answered" when no
 * device answered anywhere, targets included. Hosts ignore event types they
 * do not know.
 *
 * Forks: a search belongs to the process that started it; a child forked
 * from it (also into a new PID namespace) holds a copy that costs the parent
 * nothing. In the child, seekwell_search_cancel does nothing,
 * seekwell_search_dispatch and seekwell_search_wait return 0 at once without
 * a callback, and seekwell_search_free closes the child's copy of every
 * descriptor of the search (its sockets, its connections, its event
 * descriptors, and on x86-64 and AArch64 libcurl's wake-up pair), and
 * nothing else: no connection of the parent's lives on in the child; the
 * parent's search goes on undisturbed.
 *
 * A cancellation request for a calling thread (pthread_cancel) takes effect
 * only after the call has returned, callbacks included.
 */

/* A search in progress; opaque. */
typedef struct seekwell_search seekwell_search;

typedef enum seekwell_event_type {
    SEEKWELL_EVENT_ROBOT = 1,   /* a robot answered */
    SEEKWELL_EVENT_SKIPPED = 2, /* a responder that is not reported, and why */
    SEEKWELL_EVENT_GONE = 3,    /* window 0: a robot stopped answering, said goodbye, its
                                   interface went away, or another robot took its address */
    SEEKWELL_EVENT_DONE = 4,    /* the last event of every search */
    SEEKWELL_EVENT_QUIET = 5,   /* since 2.1: no device at all answered a round's searches on
                                   interface_name (see "When nothing answers" below) */
    SEEKWELL_EVENT_DROPPED = 6  /* since 2.1: this host dropped replies on interface_name for
                                   want of room, and the search could not learn again who sent
                                   them all (see "Many robots" below) */
} seekwell_event_type;

/* Why a responder was left out (SKIPPED). A reply is checked for where it
 * came from (OTHER_INTERFACE, OFF_SUBNET, OWN_ADDRESS), then for the marker
 * and its LOCATION; a description fetch follows. Values never change; later
 * versions may add some, which a host treats as "left out". */
typedef enum seekwell_skip_reason {
    SEEKWELL_SKIP_NONE = 0,
    SEEKWELL_SKIP_NO_MARKER = 1,            /* the reply lacks the robot marker */
    SEEKWELL_SKIP_OTHER_INTERFACE = 2,      /* arrived on an interface the search does not search on */
    SEEKWELL_SKIP_BAD_LOCATION = 3,         /* no LOCATION of the form http://<IPv4 address>/ */
    SEEKWELL_SKIP_LOCATION_NOT_UNICAST = 4, /* LOCATION names a loopback, unspecified,
                                               multicast or broadcast address */
    SEEKWELL_SKIP_LOCATION_ELSEWHERE = 5,   /* LOCATION names another host than the sender */
    SEEKWELL_SKIP_CONNECT_TIMEOUT = 6,      /* no connection within 30 s */
    SEEKWELL_SKIP_CONNECT_REFUSED = 7,      /* nothing listens on the HTTP port */
    SEEKWELL_SKIP_FETCH_FAILED = 8,         /* the fetch broke off (30 s of silence, 60 s in all, reset) */
    SEEKWELL_SKIP_HTTP_STATUS = 9,          /* no robot description, and the status was not 2xx */
    SEEKWELL_SKIP_BODY_OVER_LIMIT = 10,     /* no robot UDN in the 16 KiB read, the limit */
    SEEKWELL_SKIP_NO_ROBOT_UDN = 11,        /* the description is empty, not XML or without a UDN,
                                               or its UDN lacks the robot marker (reason says which) */
    SEEKWELL_SKIP_OFF_SUBNET = 12,          /* the sender is outside the subnet of the interface
                                               its reply arrived on: its address may be forged */
    SEEKWELL_SKIP_OWN_ADDRESS = 13,         /* the sender is one of this host's own addresses */
    SEEKWELL_SKIP_OVERLOAD = 14             /* too many responders at once: replies from new
                                               senders go unexamined for a while; told once per
                                               round, the count in words (see the limits below) */
} seekwell_skip_reason;

typedef enum seekwell_done_reason {
    SEEKWELL_DONE_NONE = 0,
    SEEKWELL_DONE_WINDOW_OVER = 1, /* the window ended and the fetches it started are over */
    SEEKWELL_DONE_CANCELLED = 2,   /* seekwell_search_cancel or seekwell_search_free */
    SEEKWELL_DONE_FAILED = 3       /* could not search at all; error says why */
} seekwell_done_reason;

/*
 * One event. Every text is NUL-terminated, never NULL (empty where it does
 * not apply) and lives until the callback returns.
 */
typedef struct seekwell_event {
    seekwell_event_type type;
    const char* name;                 /* ROBOT, GONE: the friendly name as the finder path gives
                                         it: valid UTF-8 (a byte that is not becomes U+FFFD),
                                         without control characters, at most 2047 bytes cut at
                                         a character's end; "" when it has none */
    const char* address;              /* ROBOT, SKIPPED, GONE: the responder's dotted IPv4 address */
    const char* location;             /* ROBOT, GONE: the reply's LOCATION URL; SKIPPED: as sent, if any */
    const char* interface_name;       /* ROBOT, SKIPPED, GONE: the interface the reply came in by
                                         (an asked robot beyond a router: the one the route to it
                                         leaves by);
                                         QUIET: the interface where nothing answered;
                                         DROPPED: the interface whose replies were dropped */
    seekwell_skip_reason skip_reason; /* SKIPPED */
    const char* reason;               /* SKIPPED, QUIET, DROPPED, DONE: the reason in words */
    int http_status;                  /* SKIPPED: the status of every description fetched, 200
                                         included; 0 when the fetch failed or none was made */
    seekwell_done_reason done_reason; /* DONE */
    int error;                        /* DONE with SEEKWELL_DONE_FAILED: an errno value */
    const char* udn;                  /* since 2.1; ROBOT, GONE: the UDN of the robot's
                                         description, which names it whatever its address */
} seekwell_event;

typedef void (*seekwell_event_fn)(const seekwell_event* event, void* user_data);

/* Default time between the searches of one live search (one round every
 * period, while the window lasts or until cancelled with a window of 0); with
 * a window of 0, a robot that misses SEEKWELL_GONE_AFTER_MISSED rounds in a
 * row is GONE when the last of them is over, or at once when it says goodbye
 * or its interface goes away. */
#define SEEKWELL_SEARCH_PERIOD_MS 15000
#define SEEKWELL_MIN_SEARCH_PERIOD_MS 200
#define SEEKWELL_GONE_AFTER_MISSED 3

/* Options of a live search. size tells which version of this structure the
 * host was built with: set it to sizeof(seekwell_options). Later versions
 * only add fields at the end, so a host keeps working with later libraries.
 * A library accepts any size from the end of period_ms on; a larger size
 * than its own sizeof(seekwell_options) only when every byte it does not
 * know is zero, otherwise -EOPNOTSUPP: the host asked for an option this
 * library lacks. Sizes over 4096 bytes are refused (-EINVAL) unread. */
typedef struct seekwell_options {
    size_t size;                /* sizeof(seekwell_options) of the host's header */
    unsigned int window_ms;     /* how long to search; 0: until cancelled */
    const char* interface_name; /* one interface by name; NULL: every IPv4 interface
                                   that is up and can multicast. Without targets, a
                                   named one that is down or has no IPv4 address ends
                                   the search at once: DONE, SEEKWELL_DONE_FAILED,
                                   ENETDOWN */
    unsigned int period_ms;     /* time between searches; 0: SEEKWELL_SEARCH_PERIOD_MS */
    const char* const* targets; /* since 2.1: where multicast does not reach, a NULL-terminated
                                   list of IPv4 addresses ("198.19.5.11") and CIDR ranges
                                   ("198.19.5.0/24", /20 to /32); NULL: none. See "Targets" */
} seekwell_options;

/* The defaults, as options == NULL gives them. */
#define SEEKWELL_OPTIONS_INIT                                              \
    {                                                                      \
        sizeof(seekwell_options), SEEKWELL_SEARCH_WINDOW_MS, NULL, 0, NULL \
    }

/* At most this many addresses in all of a search's targets. */
#define SEEKWELL_MAX_TARGET_ADDRESSES 4096
/* The shortest prefix a target range may have (a /20 holds 4096 addresses). */
#define SEEKWELL_MIN_TARGET_PREFIX 20
/* How fast a range is swept: at most this many unicast M-SEARCHes a second in
 * all, each address sent two a second apart, so half as many addresses. */
#define SEEKWELL_SWEEP_DATAGRAMS_PER_SECOND 1000
#define SEEKWELL_SWEEP_ADDRESSES_PER_SECOND (SEEKWELL_SWEEP_DATAGRAMS_PER_SECOND / 2)

/* Why an entry of a target list is refused, in the order each entry is
 * checked: its form, the addresses of the list so far, then each address it
 * names. Values never change; later versions may add some, which a host
 * treats as "refused". */
typedef enum seekwell_target_reason {
    SEEKWELL_TARGET_ACCEPTED = 0,
    SEEKWELL_TARGET_NOT_AN_ADDRESS = 1,     /* neither "a.b.c.d" (four parts of 0 to 255, nothing
                                               around them) nor "a.b.c.d/N" with N up to 32:
                                               "300.1.1.1", " 192.0.2.10", "192.0.2.0/33" */
    SEEKWELL_TARGET_HOSTNAME = 2,           /* a name such as "robot.local": none is looked up */
    SEEKWELL_TARGET_PREFIX_TOO_SHORT = 3,   /* a range wider than /20 (SEEKWELL_MIN_TARGET_PREFIX) */
    SEEKWELL_TARGET_TOO_MANY_ADDRESSES = 4, /* with the entries before it, more than
                                               SEEKWELL_MAX_TARGET_ADDRESSES addresses */
    SEEKWELL_TARGET_LOOPBACK = 5,           /* in 127.0.0.0/8: this host itself */
    SEEKWELL_TARGET_NOT_UNICAST = 6         /* an address no device has: multicast, broadcast,
                                               0.0.0.0/8 or 240.0.0.0/4 */
} seekwell_target_reason;

/*
 * Whether seekwell_search_start would take targets as seekwell_options.targets
 * and, if not, the first entry it refuses and why, so that a host can point
 * its user at the entry to correct. Nothing is sent or looked up, nothing is
 * allocated; since 2.1.
 *  0        it would take them: targets is NULL, an empty list, or a list
 *           whose every entry is taken; *first_refused is the number of
 *           entries (0 for NULL) and *reason SEEKWELL_TARGET_ACCEPTED;
 *  -EINVAL  it would refuse them: *first_refused is the index of the first
 *           entry refused, counting from 0, and *reason why; no entry after
 *           it is read.
 * first_refused and reason may each be NULL. The list ends with NULL, as
 * seekwell_options.targets does.
 */
SEEKWELL_API int seekwell_check_targets(const char* const* targets, size_t* first_refused,
                                        seekwell_target_reason* reason);

/*
 * Starts a search and returns at once: 0, or a negative errno value with
 * *search left NULL and nothing started:
 *  -EINVAL  on_event or search is NULL, options->size is smaller than the
 *           first version's seekwell_options (up to period_ms) or larger
 *           than 4096, or period_ms is below SEEKWELL_MIN_SEARCH_PERIOD_MS
 *           (and not 0);
 *  -EOPNOTSUPP  options->size is larger than this library's
 *           seekwell_options and a byte past it is not zero;
 *  -ENODEV  no interface has the name options->interface_name;
 *  -ENOMEM, -EMFILE, -EAGAIN  memory, descriptors or a thread were lacking
 *           (also while checking the interface's name); any other negative
 *           errno value: the system refused to look the name up.
 */
SEEKWELL_API int seekwell_search_start(const seekwell_options* options, seekwell_event_fn on_event, void* user_data,
                                       seekwell_search** search);

/* A descriptor that is readable while events wait to be dispatched; valid
 * until seekwell_search_free. Do not read it or close it. -EINVAL for NULL. */
SEEKWELL_API int seekwell_search_fd(const seekwell_search* search);

/* Runs on_event for each event waiting when it is called, without blocking.
 * Returns 1 while the search runs, 0 once DONE has been delivered (and at
 * every later call), once the search was freed from inside the callback, and
 * in a forked child; -EINVAL for NULL. An exception thrown by on_event
 * leaves through here (see C++ hosts above). At most 1024 SKIPPED events
 * wait for the host, however it dispatches; later ones are dropped (DONE
 * never is), and DONE's reason then ends with
 * "; N SKIPPED events dropped, more than 1024 waiting for the host".
 * Waiting ROBOT and GONE events of one robot are merged so that at most two
 * wait for it, GONE then ROBOT: the latest facts replace the waiting ones,
 * and a robot gone before the host had it is not told at all. None is lost:
 * the host ends with the robots, and their facts, that every event would
 * have left it. A QUIET is not told while one for its interface waits. */
SEEKWELL_API int seekwell_search_dispatch(seekwell_search* search);

/* Waits for events and dispatches them until DONE has been delivered
 * (returns 0) or timeout_ms milliseconds have passed (returns 1); a negative
 * timeout waits for DONE. Returns 0 as seekwell_search_dispatch does after a
 * free from inside the callback and in a forked child. -EINVAL for NULL. */
SEEKWELL_API int seekwell_search_wait(seekwell_search* search, int timeout_ms);

/* Stops the search: fetches are aborted, sockets closed, and DONE
 * (SEEKWELL_DONE_CANCELLED) is ready to dispatch within 50 ms, also when the
 * calling thread has a cancellation request pending; events not yet
 * dispatched are dropped. Harmless after DONE, twice, or on NULL; does
 * nothing in a forked child. */
SEEKWELL_API void seekwell_search_cancel(seekwell_search* search);

/* Cancels a running search and releases everything it holds: no thread,
 * descriptor or child of it is left. Returns within 50 ms, also when the
 * calling thread has a cancellation request pending. From inside the
 * callback, the release comes when the dispatching threads have left (see
 * Threading above); in a forked child, the child's copy of every
 * descriptor of the search is closed, and nothing else. NULL is ignored. */
SEEKWELL_API void seekwell_search_free(seekwell_search* search);

#ifdef __cplusplus
}
#endif

#endif /* SEEKWELL_SEEKWELL_H */
