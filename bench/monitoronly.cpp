// monitoronly: the watchdog's liveness monitor without the service around
// it. The process starts the monitor thread the way the service does
// (StartMonitor, the watchdog's own code) and then blocks on one event
// with no time-out, as idleref does. Its idle cost is therefore the
// monitor's alone: what the watchdog would cost if the service's own
// thread blocked instead of polling its events. It never returns by
// itself; the benchmark ends it.
#include <windows.h>

#include <cstdio>

#include "LivenessMonitor.h"

int main() {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (never == nullptr) {
        std::fprintf(stderr, "monitoronly: CreateEvent failed (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    StartMonitor(nullptr);
    if (MonitorThreadHandle() == nullptr) {
        std::fprintf(stderr, "monitoronly: the monitor thread did not start (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("monitoronly waiting\n");
    std::fflush(stdout);
    WaitForSingleObject(never, INFINITE);
    CloseHandle(never);
    return 0;
}
