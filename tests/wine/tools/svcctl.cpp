// svcctl: drives installed services through the Service Control Manager for
// the end-to-end scenarios: starts them, sends them controls (pause,
// continue, interrogate, user-defined codes, which Wine's sc cannot send)
// and watches their status by polling QueryServiceStatusEx, so that the
// scenarios take their timestamps from the service manager and not from
// sleeps.
//
// usage: svcctl NAME STEP...
// Steps, run in order, each on the current service (NAME at first):
//   use NAME          make NAME the current service
//   query             one QueryServiceStatus
//   start             StartServiceA with no arguments
//   control CODE      ControlService with CODE (1 stop, 2 pause, 3 continue,
//                     4 interrogate, 128-255 user-defined)
//   wait STATE MS     query every 10 ms until the current state is STATE;
//                     fails when it is not so within MS ms
//   hold STATE MS     query every 10 ms for MS ms; fails at the first query
//                     that finds another state or another process
//   leave STATE MS    query every 10 ms until a query finds another state or
//                     another process than the first; fails when that does
//                     not happen within MS ms
//
// Each step prints one line: its own words, then "ok" or "error=CODE"
// (Win32 error code; "error=timeout" or "error=changed" for the polls),
// then "t=MS", the milliseconds since svcctl started when the step ended.
// Steps that succeed, and wait and hold whatever their outcome, add the
// status last seen: state, checkpoint, waithint, accepted (controls),
// win32exit and specificexit, and for start and the polls (which query with
// QueryServiceStatusEx) pid, the service's process id. A failed control
// adds no status: the record the system returns then is not reliable.
//
// Every step runs even when an earlier one failed. Exit code: 0 when every
// step succeeded, 1 when one failed or a service could not be opened, 2 for
// a bad command line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Handles.h"

namespace {

const DWORD kPollMs = 10;
const DWORD kServiceAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP |
                             SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                             SERVICE_USER_DEFINED_CONTROL;

// Milliseconds on the performance counter since the first call.
class CClock {
public:
    CClock() {
        QueryPerformanceFrequency(&m_frequency);
        QueryPerformanceCounter(&m_start);
    }
    unsigned long long Elapsed() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<unsigned long long>(now.QuadPart - m_start.QuadPart) * 1000ULL /
               static_cast<unsigned long long>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency;
    LARGE_INTEGER m_start;
};

bool ParseNumber(const char* text, DWORD& value) {
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || parsed > 0xFFFFFFFFUL)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// The fields common to both status records, and the process id when the
// record has one.
struct CStatus {
    SERVICE_STATUS status;
    bool hasPid;
    DWORD pid;
};

CStatus FromPlain(const SERVICE_STATUS& status) {
    return CStatus{status, false, 0};
}

CStatus FromProcess(const SERVICE_STATUS_PROCESS& status) {
    const SERVICE_STATUS plain = {status.dwServiceType,
                                  status.dwCurrentState,
                                  status.dwControlsAccepted,
                                  status.dwWin32ExitCode,
                                  status.dwServiceSpecificExitCode,
                                  status.dwCheckPoint,
                                  status.dwWaitHint};
    return CStatus{plain, true, status.dwProcessId};
}

void PrintStatus(const CStatus& record) {
    const SERVICE_STATUS& status = record.status;
    std::printf(" state=%lu checkpoint=%lu waithint=%lu accepted=%lu win32exit=%lu "
                "specificexit=%lu",
                static_cast<unsigned long>(status.dwCurrentState),
                static_cast<unsigned long>(status.dwCheckPoint),
                static_cast<unsigned long>(status.dwWaitHint),
                static_cast<unsigned long>(status.dwControlsAccepted),
                static_cast<unsigned long>(status.dwWin32ExitCode),
                static_cast<unsigned long>(status.dwServiceSpecificExitCode));
    if (record.hasPid)
        std::printf(" pid=%lu", static_cast<unsigned long>(record.pid));
}

// Queries the status with its process id into `status`. Returns false, with
// the last error set, when the query fails.
bool QueryEx(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != FALSE;
}

class CController {
public:
    CController(SC_HANDLE manager, const CClock& clock) : m_manager(manager), m_clock(clock) {}

    // Opens `name` as the current service. Returns false, after printing the
    // error, when it cannot be opened.
    bool Use(const char* name) {
        m_service.reset();
        m_service = CServiceHandle(OpenServiceA(m_manager, name, kServiceAccess));
        if (!m_service) {
            const DWORD error = GetLastError();
            std::printf("use %s error=%lu t=%llu\n", name, static_cast<unsigned long>(error),
                        m_clock.Elapsed());
            return false;
        }
        std::printf("use %s ok t=%llu\n", name, m_clock.Elapsed());
        return true;
    }

    bool QueryStep() {
        SERVICE_STATUS status = {};
        const bool ok = QueryServiceStatus(m_service.get(), &status) != FALSE;
        const DWORD error = ok ? 0 : GetLastError();
        const CStatus record = FromPlain(status);
        return Report("query", ok, error, ok ? &record : nullptr);
    }

    bool StartStep() {
        const bool ok = StartServiceA(m_service.get(), 0, nullptr) != FALSE;
        const DWORD error = ok ? 0 : GetLastError();
        SERVICE_STATUS_PROCESS status = {};
        // The status right after an accepted start shows what the service
        // reported first.
        const bool queried = ok && QueryEx(m_service.get(), status);
        const CStatus record = FromProcess(status);
        return Report("start", ok, error, queried ? &record : nullptr);
    }

    bool ControlStep(DWORD code) {
        SERVICE_STATUS status = {};
        const bool ok = ControlService(m_service.get(), code, &status) != FALSE;
        const DWORD error = ok ? 0 : GetLastError();
        const std::string words = "control " + std::to_string(code);
        const CStatus record = FromPlain(status);
        return Report(words.c_str(), ok, error, ok ? &record : nullptr);
    }

    enum EPoll {
        Wait,  // until the state is `state`, at most `limitMs`
        Hold,  // `limitMs` long, while the state stays `state` in one process
        Leave, // until the state is not `state` or the process changed
    };

    bool PollStep(EPoll kind, const char* name, DWORD state, DWORD limitMs) {
        const std::string words =
            std::string(name) + " " + std::to_string(state) + " " + std::to_string(limitMs);
        const unsigned long long start = m_clock.Elapsed();
        SERVICE_STATUS_PROCESS status = {};
        SERVICE_STATUS_PROCESS first = {};
        bool seen = false;
        for (;;) {
            if (!QueryEx(m_service.get(), status)) {
                const DWORD error = GetLastError();
                const CStatus record = FromProcess(status);
                return Report(words.c_str(), false, error, seen ? &record : nullptr);
            }
            if (!seen)
                first = status;
            seen = true;
            const CStatus record = FromProcess(status);
            const bool same =
                status.dwCurrentState == state && status.dwProcessId == first.dwProcessId;
            if (kind == Wait && status.dwCurrentState == state)
                return Report(words.c_str(), true, 0, &record);
            if (kind == Hold && !same)
                return Report(words.c_str(), false, 0, &record, "changed");
            if (kind == Leave && !same)
                return Report(words.c_str(), true, 0, &record);
            if (m_clock.Elapsed() - start >= limitMs)
                return Report(words.c_str(), kind == Hold, 0, &record,
                              kind == Hold ? nullptr : "timeout");
            Sleep(kPollMs);
        }
    }

private:
    bool Report(const char* words, bool ok, DWORD error, const CStatus* status,
                const char* reason = nullptr) {
        std::printf("%s", words);
        if (ok)
            std::printf(" ok");
        else if (reason != nullptr)
            std::printf(" error=%s", reason);
        else
            std::printf(" error=%lu", static_cast<unsigned long>(error));
        std::printf(" t=%llu", m_clock.Elapsed());
        if (status != nullptr)
            PrintStatus(*status);
        std::printf("\n");
        std::fflush(stdout);
        return ok;
    }

    SC_HANDLE m_manager;
    const CClock& m_clock;
    CServiceHandle m_service;
};

int Usage() {
    std::fputs("usage: svcctl NAME STEP...\n"
               "  steps: use NAME | query | start | control CODE | wait STATE MS | hold STATE MS"
               " | leave STATE MS\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const CClock clock;
    if (argc < 3)
        return Usage();

    // Check the whole command line before acting on any of it.
    for (int i = 2; i < argc; ++i) {
        DWORD value = 0;
        const std::string step = argv[i];
        if (step == "query" || step == "start")
            continue;
        if (step == "use" && i + 1 < argc) {
            ++i;
            continue;
        }
        if (step == "control" && i + 1 < argc && ParseNumber(argv[i + 1], value)) {
            ++i;
            continue;
        }
        if ((step == "wait" || step == "hold" || step == "leave") && i + 2 < argc &&
            ParseNumber(argv[i + 1], value) && ParseNumber(argv[i + 2], value)) {
            i += 2;
            continue;
        }
        return Usage();
    }

    CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        std::printf("OpenSCManager error=%lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    CController controller(manager.get(), clock);
    if (!controller.Use(argv[1]))
        return 1;

    bool allOk = true;
    for (int i = 2; i < argc; ++i) {
        const std::string step = argv[i];
        DWORD first = 0;
        DWORD second = 0;
        if (step == "use") {
            if (!controller.Use(argv[++i]))
                return 1;
        } else if (step == "query") {
            allOk = controller.QueryStep() && allOk;
        } else if (step == "start") {
            allOk = controller.StartStep() && allOk;
        } else if (step == "control") {
            ParseNumber(argv[++i], first);
            allOk = controller.ControlStep(first) && allOk;
        } else {
            ParseNumber(argv[++i], first);
            ParseNumber(argv[++i], second);
            const CController::EPoll kind = step == "wait"   ? CController::Wait
                                            : step == "hold" ? CController::Hold
                                                             : CController::Leave;
            allOk = controller.PollStep(kind, step.c_str(), first, second) && allOk;
        }
    }
    return allOk ? 0 : 1;
}
