/* The names the monitored software and the watchdog share, spelled once.
 *
 * Free of <windows.h>: the watchdog's flag comparison is also built and
 * tested natively. Usable from C and C++. */
#ifndef LIVECHECK_NAMES_H
#define LIVECHECK_NAMES_H

/* The section the monitored software creates and the watchdog opens, once a
 * second, with full access. No "Global\" prefix: a service runs in session
 * 0, where the unprefixed names are the global ones. (Under Wine services
 * run in session 1, and a "Global\" section is not found under this name.) */
#define LIVECHECK_SECTION_NAME "Ondrimar_LiveCheck"

/* The service the watchdog starts when the section does not say alive. */
#define LIVECHECK_SERVICE_NAME "Ondrimar"

/* The section's first bytes while the service is healthy: this text and its
 * terminating zero, nothing else ("1\n" is not alive). */
#define LIVECHECK_ALIVE_TEXT "1"

/* What the monitored software writes when it cannot serve: any text other
 * than the alive one makes the watchdog look at the service. */
#define LIVECHECK_UNHEALTHY_TEXT "0"

/* The section's layout:
 *   bytes 0-1  the flag: "1" and its zero while healthy (or another text)
 *   bytes 2-3  zero
 *   bytes 4-7  the heartbeat: a 32-bit counter (little-endian, as Windows
 *              stores it, and 4-byte aligned) that the monitored software
 *              increments while it works; it may wrap around.
 * The watchdog reads the heartbeat only where the administrator set
 * HeartbeatSeconds; then a flag of "1" whose counter has not moved for that
 * long counts as hung. */
#define LIVECHECK_HEARTBEAT_OFFSET 4

#endif
