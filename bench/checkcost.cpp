// checkcost: the cost of one liveness check on the watchdog's own code path,
// and of a check that fails followed by the service lookup it triggers.
//
// Run under Wine while the service "Ondrimar" runs (the stand-in, which
// keeps the section "Ondrimar_LiveCheck"). The tool writes the flag itself
// through a view of that section: "1" for the healthy check, "0" for the
// failing one, and "1" again at the end.
//
// Then, to show where the time of a check goes, the same steps as the
// check, each timed by itself (CHECKS times): open the section, map it
// whole, ask whether its first page is committed (VirtualQuery), copy the
// flag out (ReadProcessMemory), compare, unmap, close; and, for scale, one plain request to the
// system that does nothing (a zero time-out wait on an event that is not
// set), which under Wine is one round trip to the Wine server.
//
// usage: checkcost [CHECKS] [LOOKUPS]   (defaults 20000 and 2000)
// Prints one line per measurement: name, samples, median, p95 and maximum
// in microseconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Handles.h"
#include "LiveCheckNames.h"
#include "LiveFlag.h"
#include "LivenessMonitor.h"

namespace {

class CTimer {
public:
    CTimer() { QueryPerformanceFrequency(&m_frequency); }
    LONGLONG Now() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
    double Microseconds(LONGLONG ticks) const {
        return static_cast<double>(ticks) * 1e6 / static_cast<double>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency;
};

void Print(const char* name, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    std::printf("%s samples=%u median_us=%.2f p95_us=%.2f max_us=%.2f\n", name,
                static_cast<unsigned>(n), samples[n / 2], samples[n * 95 / 100], samples[n - 1]);
}

} // namespace

int main(int argc, char** argv) {
    int checks = argc > 1 ? std::atoi(argv[1]) : 20000;
    int lookups = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (checks < 1 || lookups < 1) {
        std::fprintf(stderr, "usage: checkcost [CHECKS] [LOOKUPS]\n");
        return 2;
    }

    CHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, LIVECHECK_SECTION_NAME));
    if (!mapping) {
        std::fprintf(stderr, "checkcost: no section " LIVECHECK_SECTION_NAME " (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) {
        std::fprintf(stderr, "checkcost: cannot map the section (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    char* flag = static_cast<char*>(view.get());
    CTimer timer;

    std::memcpy(flag, LIVECHECK_ALIVE_TEXT, sizeof LIVECHECK_ALIVE_TEXT);
    std::vector<double> samples;
    for (int i = 0; i < checks; ++i) {
        LONGLONG start = timer.Now();
        bool alive = LiveCheck();
        LONGLONG end = timer.Now();
        if (!alive) {
            std::fprintf(stderr, "checkcost: the check failed on \"" LIVECHECK_ALIVE_TEXT "\"\n");
            return 1;
        }
        samples.push_back(timer.Microseconds(end - start));
    }
    Print("check_alive", samples);

    std::memcpy(flag, LIVECHECK_UNHEALTHY_TEXT, sizeof LIVECHECK_UNHEALTHY_TEXT);
    samples.clear();
    for (int i = 0; i < lookups; ++i) {
        LONGLONG start = timer.Now();
        if (!LiveCheck())
            EnsureMonitoredRunning();
        LONGLONG end = timer.Now();
        samples.push_back(timer.Microseconds(end - start));
    }
    Print("check_dead_and_query", samples);

    std::memcpy(flag, LIVECHECK_ALIVE_TEXT, sizeof LIVECHECK_ALIVE_TEXT);

    // The steps of one check, timed one by one.
    const int kSteps = 7;
    const char* const stepNames[kSteps] = {"step_open",    "step_map",   "step_query", "step_read",
                                           "step_compare", "step_unmap", "step_close"};
    std::vector<double> steps[kSteps];
    for (int i = 0; i < checks; ++i) {
        LONGLONG t[kSteps + 1];
        t[0] = timer.Now();
        HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, LIVECHECK_SECTION_NAME);
        t[1] = timer.Now();
        void* text = section ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
        t[2] = timer.Now();
        MEMORY_BASIC_INFORMATION region = {};
        bool committed = text != nullptr &&
                         VirtualQuery(text, &region, sizeof region) == sizeof region &&
                         region.State == MEM_COMMIT;
        t[3] = timer.Now();
        char flag[2] = {0, 0};
        bool read = committed && ReadProcessMemory(GetCurrentProcess(), text, flag, 2, nullptr);
        t[4] = timer.Now();
        bool alive = read && FlagSaysAlive(flag, 2);
        t[5] = timer.Now();
        if (text != nullptr)
            UnmapViewOfFile(text);
        t[6] = timer.Now();
        if (section != nullptr)
            CloseHandle(section);
        t[7] = timer.Now();
        if (!alive) {
            std::fprintf(stderr,
                         "checkcost: the stepwise check failed on \"" LIVECHECK_ALIVE_TEXT "\"\n");
            return 1;
        }
        for (int step = 0; step < kSteps; ++step)
            steps[step].push_back(timer.Microseconds(t[step + 1] - t[step]));
    }
    for (int step = 0; step < kSteps; ++step)
        Print(stepNames[step], steps[step]);

    CHandle unset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!unset) {
        std::fprintf(stderr, "checkcost: CreateEvent failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    samples.clear();
    for (int i = 0; i < checks; ++i) {
        LONGLONG start = timer.Now();
        WaitForSingleObject(unset.get(), 0);
        LONGLONG end = timer.Now();
        samples.push_back(timer.Microseconds(end - start));
    }
    Print("server_roundtrip", samples);
    return 0;
}
