// The service step runner: `helper svc NAME STEP...`, used by the
// scenarios, the demo and the benchmark to drive and watch services.
//
// Service steps, run in order on the current service (NAME at first):
//   use NAME | query | start | control CODE | config START_TYPE | delete
//   at TICK          sleep until GetTickCount() (the clock of Wine's
//                    +timestamp traces) reaches TICK
//   next TICK PERIOD the same for the first of TICK, TICK + PERIOD, ... that
//                    has not passed yet
//   wait STATE MS    poll every 10 ms until the state is STATE, at most MS
//   hold STATE MS    poll for MS ms; fails at the first other state or process
//   leave STATE MS   poll until the state or the process differs from the
//                    first seen, at most MS
//   ends PID MS      wait up to MS for the process PID to end ("timeout"
//                    when it runs on, ok when it has ended already; the
//                    process is only waited on)
// Each step prints one line: its words, "ok" or "error=CODE" ("timeout",
// "changed" for the polls), "t=MS" since the helper started, and for steps
// that succeeded (and polls either way) the status last seen: state,
// checkpoint, waithint, accepted, win32exit, specificexit and, from
// QueryServiceStatusEx, pid. Every step runs even after one failed.
#include <cstdio>
#include <string>

#include "helper.h"

namespace {

class CSteps {
public:
    CSteps()
        : m_start(GetTickCount()),
          m_manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}

    int Run(int argc, char** argv) {
        if (!m_manager)
            return Fail("OpenSCManager");
        bool ok = Use(argv[0]);
        for (int i = 1; i < argc; ++i) {
            std::string step = argv[i];
            const char* a = i + 1 < argc ? argv[i + 1] : nullptr;
            const char* b = i + 2 < argc ? argv[i + 2] : nullptr;
            SERVICE_STATUS_PROCESS status = {};
            SERVICE_STATUS* plain = reinterpret_cast<SERVICE_STATUS*>(&status);
            SC_HANDLE service = m_service.get();
            if (step == "use" && a) {
                ok = Use(argv[++i]) && ok;
            } else if (step == "query") {
                ok = Print(step, Query(status), &status) && ok;
            } else if (step == "start") {
                ok =
                    Print(step, StartServiceA(service, 0, nullptr) && Query(status), &status) && ok;
            } else if (step == "delete") {
                ok = Print(step, DeleteService(service), nullptr) && ok;
            } else if (step == "control" && a) {
                ok =
                    Print(step + " " + a, ControlService(service, Number(a), plain), &status) && ok;
                ++i;
            } else if (step == "config" && a) {
                ok = Print(step + " " + a,
                           ChangeServiceConfigA(service, SERVICE_NO_CHANGE, Number(a),
                                                SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr),
                           nullptr) &&
                     ok;
                ++i;
            } else if (step == "at" && a) {
                SleepUntil(Number(argv[++i]), 0);
                ok = Print(step + " " + a, TRUE, nullptr) && ok;
            } else if (step == "next" && a && b) {
                SleepUntil(Number(a), Number(b));
                ok = Print(step + " " + a + " " + b, TRUE, nullptr) && ok;
                i += 2;
            } else if (step == "ends" && a && b) {
                ok = Ends(step + " " + a + " " + b, Number(a), Number(b)) && ok;
                i += 2;
            } else if ((step == "wait" || step == "hold" || step == "leave") && a && b) {
                ok = Poll(step[0], step + " " + a + " " + b, Number(a), Number(b)) && ok;
                i += 2;
            } else {
                return Usage();
            }
        }
        return ok ? 0 : 1;
    }

private:
    bool Use(const char* name) {
        m_service.reset(OpenServiceA(m_manager.get(), name, SERVICE_ALL_ACCESS));
        return Print(std::string("use ") + name, m_service.valid(), nullptr);
    }

    bool Poll(char kind, const std::string& words, DWORD state, DWORD limitMs) {
        DWORD start = GetTickCount();
        SERVICE_STATUS_PROCESS status = {};
        SERVICE_STATUS_PROCESS first = {};
        for (bool seen = false;; seen = true) {
            if (!Query(status))
                return Print(words, false, nullptr);
            if (!seen)
                first = status;
            bool same = status.dwCurrentState == state && status.dwProcessId == first.dwProcessId;
            if (kind == 'w' && status.dwCurrentState == state)
                return Print(words, true, &status);
            if (kind != 'w' && !same)
                return Print(words, kind == 'l', &status, kind == 'h' ? "changed" : nullptr, true);
            if (GetTickCount() - start >= limitMs)
                return Print(words, kind == 'h', &status, kind == 'h' ? nullptr : "timeout", true);
            Sleep(10);
        }
    }

    // Sleeps until GetTickCount() reaches `tick`, or with a `period`, the
    // first of tick, tick + period, ... that has not passed yet.
    static void SleepUntil(DWORD tick, DWORD period) {
        DWORD now = GetTickCount();
        if (period != 0 && static_cast<LONG>(now - tick) > 0)
            tick += ((now - tick) / period + 1) * period;
        while (static_cast<LONG>(tick - GetTickCount()) > 0)
            Sleep(1);
    }

    bool Ends(const std::string& words, DWORD pid, DWORD limitMs) {
        CHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        // No process has that ID any more: it has ended already.
        if (!process)
            return Print(words, pid != 0 && GetLastError() == ERROR_INVALID_PARAMETER, nullptr);
        DWORD waited = WaitForSingleObject(process.get(), limitMs);
        return Print(words, waited == WAIT_OBJECT_0, nullptr,
                     waited == WAIT_TIMEOUT ? "timeout" : nullptr);
    }

    bool Query(SERVICE_STATUS_PROCESS& status) {
        DWORD needed = 0;
        return QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    }

    // A failed call's status record is not reliable, so it is shown only
    // for a success, or for a poll that ended on a status it read.
    bool Print(const std::string& words, BOOL ok, const SERVICE_STATUS_PROCESS* status,
               const char* reason = nullptr, bool showStatus = false) {
        DWORD error = GetLastError();
        std::printf("%s ", words.c_str());
        if (ok)
            std::printf("ok");
        else if (reason)
            std::printf("error=%s", reason);
        else
            std::printf("error=%lu", error);
        std::printf(" t=%lu", GetTickCount() - m_start);
        if (status && (ok || showStatus))
            std::printf(" state=%lu checkpoint=%lu waithint=%lu accepted=%lu win32exit=%lu "
                        "specificexit=%lu pid=%lu",
                        status->dwCurrentState, status->dwCheckPoint, status->dwWaitHint,
                        status->dwControlsAccepted, status->dwWin32ExitCode,
                        status->dwServiceSpecificExitCode, status->dwProcessId);
        std::printf("\n");
        std::fflush(stdout);
        return ok;
    }

    DWORD m_start;
    CServiceHandle m_manager;
    CServiceHandle m_service;
};

} // namespace

int RunSteps(int argc, char** argv) {
    return CSteps().Run(argc, argv);
}
