// helper: the stand-in for the software Brisvel watches, and the probes the
// Wine scenarios, the demo and the benchmark need, in one executable.
//
//   helper service [slow|fail]   run as a service (started by the service
//                                manager): the stand-in, see CStandIn
//   helper svc NAME STEP...      drive services, see CSteps
//   helper errtext CODE          the system's text for CODE, as the watchdog
//                                formats it, without the final CR LF
//   helper reg get KEY VALUE     "TYPE BYTES" of a value, or "none"
//   helper reg set KEY VALUE TYPE BYTES
//   helper reg delete KEY VALUE
//   helper handles PID           how many handles the process PID holds
//   helper reserve TEXT          hold "Ondrimar_LiveCheck" created with
//                                SEC_RESERVE, TEXT written into it, until
//                                the process is ended
//   helper idle                  block for ever (the benchmark's floor)
// KEY starts with HKLM\ or HKCU\. BYTES are written with C escapes: \0, \\,
// \" and \xNN for every byte that is not printable ASCII. Exit code 0 on
// success, 1 on failure, 2 for a bad command line.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Handles.h"

namespace {

const char kSectionName[] = "Ondrimar_LiveCheck";
const DWORD kPageSize = 4096;

int Usage() {
    std::fputs("usage: helper service [slow|fail] | svc NAME STEP... | errtext CODE |\n"
               "       reg get|set|delete KEY VALUE [TYPE BYTES] | handles PID |\n"
               "       reserve TEXT | idle\n",
               stderr);
    return 2;
}

DWORD Number(const char* text) {
    return static_cast<DWORD>(std::strtoul(text, nullptr, 0));
}

int Fail(const char* what) {
    std::fprintf(stderr, "helper: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

// ---------------------------------------------------------------------------
// The stand-in. While healthy it keeps the section "Ondrimar_LiveCheck" (one
// page unless a control gives it another size) holding "1" and its zero. It
// reports a short wait hint (300 ms) so that restart times measure the
// watchdog, not the hint. It accepts stop, and these controls, each done
// before ControlService returns:
//   128 publish "1"   129 publish "0"   130 remove the section
//   131 crash: report stopped with ERROR_PROCESS_ABORTED and end the process
//       100 ms later, without clean-up (time for the reply to be sent)
//   132 fill the section with non-zero bytes, the first "1" (no zero at all)
//   133 / 134 recreate the section with 1 byte / 1 MiB, holding "1"
// 128, 129, 130 and 132 recreate a missing section of one page. Mode "slow"
// reports start pending with a wait hint of INFINITE for half a second
// before it runs; mode "fail" reports start pending and then stopped.
class CStandIn {
public:
    explicit CStandIn(const char* mode)
        : m_mode(mode), m_handle(nullptr), m_status(), m_checkPoint(0), m_size(0) {
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }

    void Run(const char* name) {
        m_handle = RegisterServiceCtrlHandlerExA(name, Handler, this);
        m_stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (m_handle == nullptr || !m_stop)
            return;
        bool slow = std::strcmp(m_mode, "slow") == 0;
        {
            CCriticalSectionLock lock(m_lock);
            Report(SERVICE_START_PENDING, slow ? INFINITE : 300, NO_ERROR);
        }
        if (slow)
            Sleep(500);
        {
            CCriticalSectionLock lock(m_lock);
            if (std::strcmp(m_mode, "fail") == 0 || !Publish(kPageSize, "1", false)) {
                Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
                return;
            }
            Report(SERVICE_RUNNING, 0, NO_ERROR);
        }
        WaitForSingleObject(m_stop.get(), INFINITE);
        CCriticalSectionLock lock(m_lock);
        m_view.reset();
        m_mapping.reset();
        Report(SERVICE_STOPPED, 0, NO_ERROR);
    }

private:
    // Wine runs the handler on a thread of its own: the lock keeps it apart
    // from Run's reports and the section.
    static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID self) {
        CStandIn* standIn = static_cast<CStandIn*>(self);
        CCriticalSectionLock lock(standIn->m_lock);
        return standIn->Handle(control);
    }

    DWORD Handle(DWORD control) {
        bool running = m_status.dwCurrentState == SERVICE_RUNNING;
        switch (control) {
        case SERVICE_CONTROL_STOP:
            if (running) {
                Report(SERVICE_STOP_PENDING, 300, NO_ERROR);
                SetEvent(m_stop.get());
            }
            break;
        case SERVICE_CONTROL_INTERROGATE:
            SetServiceStatus(m_handle, &m_status);
            break;
        case 128:
        case 129:
            Publish(kPageSize, control == 128 ? "1" : "0", false);
            break;
        case 130:
            m_view.reset();
            m_mapping.reset();
            break;
        case 131:
            if (running) {
                Report(SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED);
                CHandle ender(CreateThread(nullptr, 0, EndSoon, nullptr, 0, nullptr));
            }
            break;
        case 132:
            if (!Publish(kPageSize, "1", false))
                return GetLastError();
            for (DWORD i = 1; i < m_size; ++i)
                static_cast<BYTE*>(m_view.get())[i] = static_cast<BYTE>(1 + (i * 7919) % 255);
            break;
        case 133:
        case 134:
            if (!Publish(control == 133 ? 1 : 1024 * 1024, "1", true))
                return GetLastError();
            break;
        }
        return NO_ERROR;
    }

    static DWORD WINAPI EndSoon(LPVOID) {
        Sleep(100);
        TerminateProcess(GetCurrentProcess(), ERROR_PROCESS_ABORTED);
        return 0;
    }

    // Writes `text` and its zero (as much as fits) at the section's start,
    // creating the section with `size` bytes first when there is none or
    // when `fresh` asks for a new one. A section still held by another
    // process (a watchdog in the middle of its check) would come back under
    // the name, so a fresh one is retried for up to a second. Returns false,
    // with the last error set, when no section can be had.
    bool Publish(DWORD size, const char* text, bool fresh) {
        if (fresh) {
            m_view.reset();
            m_mapping.reset();
        }
        for (int tries = 0; !m_view && tries < 1000; ++tries) {
            SetLastError(NO_ERROR);
            CHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               size, kSectionName));
            if (!mapping)
                return false;
            if (fresh && GetLastError() == ERROR_ALREADY_EXISTS) {
                mapping.reset();
                Sleep(1);
                continue;
            }
            m_view.reset(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
            if (!m_view)
                return false;
            m_mapping = std::move(mapping);
            m_size = size;
        }
        if (!m_view) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
        size_t length = std::strlen(text) + 1;
        std::memcpy(m_view.get(), text, length < m_size ? length : m_size);
        return true;
    }

    // Called with m_lock held.
    void Report(DWORD state, DWORD waitHint, DWORD exitCode) {
        bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
        m_status.dwCurrentState = state;
        m_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
        m_status.dwWin32ExitCode = exitCode;
        m_status.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0;
        m_status.dwCheckPoint = settled ? 0 : ++m_checkPoint;
        m_status.dwWaitHint = waitHint;
        SetServiceStatus(m_handle, &m_status);
    }

    const char* m_mode;
    CCriticalSection m_lock;
    SERVICE_STATUS_HANDLE m_handle;
    SERVICE_STATUS m_status;
    DWORD m_checkPoint;
    CHandle m_stop;
    CHandle m_mapping;
    CMappedView m_view;
    DWORD m_size;
};

CStandIn* s_standIn = nullptr;

void WINAPI StandInMain(DWORD argc, LPSTR* argv) {
    s_standIn->Run(argc > 0 ? argv[0] : "Ondrimar");
}

int RunService(const char* mode) {
    CStandIn standIn(mode);
    s_standIn = &standIn;
    char name[] = "Ondrimar";
    SERVICE_TABLE_ENTRYA table[] = {{name, StandInMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return Fail("StartServiceCtrlDispatcher");
    // The dispatcher returns once stopped is reported, while the service
    // thread may still be leaving Run; the process ends with the objects.
    Sleep(100);
    return 0;
}

// ---------------------------------------------------------------------------
// Service steps, run in order on the current service (NAME at first):
//   use NAME | query | start | control CODE | config START_TYPE | delete
//   at TICK          sleep until GetTickCount() (the clock of Wine's
//                    +timestamp traces) reaches TICK
//   wait STATE MS    poll every 10 ms until the state is STATE, at most MS
//   hold STATE MS    poll for MS ms; fails at the first other state or process
//   leave STATE MS   poll until the state or the process differs from the
//                    first seen, at most MS
// Each step prints one line: its words, "ok" or "error=CODE" ("timeout",
// "changed" for the polls), "t=MS" since the helper started, and for steps
// that succeeded (and polls either way) the status last seen: state,
// checkpoint, waithint, accepted, win32exit, specificexit and, from
// QueryServiceStatusEx, pid. Every step runs even after one failed.
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
                for (DWORD tick = Number(argv[++i]); GetTickCount() < tick;)
                    Sleep(1);
                ok = Print(step + " " + a, TRUE, nullptr) && ok;
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

// ---------------------------------------------------------------------------
// Registry values as escaped bytes.

std::string Escape(const BYTE* bytes, DWORD size) {
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        char piece[8];
        BYTE c = bytes[i];
        if (c == 0)
            std::strcpy(piece, "\\0");
        else if (c == '\\' || c == '"')
            std::snprintf(piece, sizeof piece, "\\%c", c);
        else if (c >= 0x20 && c < 0x7F)
            std::snprintf(piece, sizeof piece, "%c", c);
        else
            std::snprintf(piece, sizeof piece, "\\x%02x", c);
        text += piece;
    }
    return text;
}

std::vector<BYTE> Unescape(const char* text) {
    std::vector<BYTE> bytes;
    for (; *text; ++text) {
        if (*text != '\\' || text[1] == '\0') {
            bytes.push_back(static_cast<BYTE>(*text));
        } else if (*++text == '0') {
            bytes.push_back(0);
        } else if (*text == 'x' && text[1] && text[2]) {
            char hex[3] = {text[1], text[2], 0};
            bytes.push_back(static_cast<BYTE>(std::strtoul(hex, nullptr, 16)));
            text += 2;
        } else {
            bytes.push_back(static_cast<BYTE>(*text));
        }
    }
    return bytes;
}

int RunRegistry(int argc, char** argv) {
    if (argc < 2 || (std::strncmp(argv[1], "HKLM\\", 5) && std::strncmp(argv[1], "HKCU\\", 5)))
        return Usage();
    HKEY root = argv[1][2] == 'L' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::string verb = argv[0];
    const char* path = argv[1] + 5;
    HKEY opened = nullptr;
    LONG result = verb == "set" ? RegCreateKeyA(root, path, &opened)
                                : RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &opened);
    CRegKey key(opened);
    if (verb == "get" && argc == 3) {
        DWORD type = 0, size = 0;
        if (result == ERROR_SUCCESS)
            result = RegQueryValueExA(opened, argv[2], nullptr, &type, nullptr, &size);
        std::vector<BYTE> data(size + 1);
        if (result == ERROR_SUCCESS)
            result = RegQueryValueExA(opened, argv[2], nullptr, &type, data.data(), &size);
        if (result == ERROR_FILE_NOT_FOUND)
            std::printf("none\n");
        else if (result == ERROR_SUCCESS)
            std::printf("%lu \"%s\"\n", type, Escape(data.data(), size).c_str());
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }
    if (verb == "set" && argc == 5 && result == ERROR_SUCCESS) {
        std::vector<BYTE> data = Unescape(argv[4]);
        result = RegSetValueExA(opened, argv[2], 0, Number(argv[3]), data.data(),
                                static_cast<DWORD>(data.size()));
    } else if (verb == "delete" && argc == 3 && result == ERROR_SUCCESS) {
        result = RegDeleteValueA(opened, argv[2]);
    } else if (result == ERROR_SUCCESS) {
        return Usage();
    }
    return result == ERROR_SUCCESS ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The other probes.

int PrintErrorText(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    CLocalMemory owner(text);
    if (length < 2)
        return Fail("FormatMessage");
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text, 1, length - 2, stdout);
    return 0;
}

// One entry of the table of information class 16. Windows starts an entry
// with a 16-bit process id and a 16-bit back-trace index, Wine with a
// 32-bit process id; both read the same while ids stay below 65536.
struct CHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

struct CHandleTable {
    ULONG count;
    CHandleEntry entries[1];
};

// GetProcessHandleCount says 0 under Wine: count the process's entries in
// the system's handle table instead.
int PrintHandleCount(DWORD pid) {
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    QueryFunction query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return Fail("GetProcAddress");
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) ==
           static_cast<LONG>(0xC0000004u))
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return Fail("NtQuerySystemInformation");
    const CHandleTable* table = reinterpret_cast<const CHandleTable*>(buffer.data());
    unsigned count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        count += table->entries[i].ownerPid == pid ? 1 : 0;
    std::printf("%u\n", count);
    return 0;
}

// Wine lets a process write into a section page that is only reserved
// (VirtualQuery says MEM_RESERVE); on Windows the write would fault. A
// section of the same name that still exists (a watchdog's check holds it a
// moment) is not taken: creation is retried for up to a second.
int HoldReservedSection(const char* text) {
    CHandle mapping;
    for (int tries = 0; tries < 1000; ++tries) {
        SetLastError(NO_ERROR);
        mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                         PAGE_READWRITE | SEC_RESERVE, 0, kPageSize, kSectionName));
        if (!mapping || GetLastError() != ERROR_ALREADY_EXISTS)
            break;
        mapping.reset();
        Sleep(1);
    }
    if (!mapping)
        return Fail("CreateFileMapping");
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return Fail("MapViewOfFile");
    std::memcpy(view.get(), text, std::strlen(text) + 1);
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "service" && argc <= 3)
        return RunService(argc == 3 ? argv[2] : "");
    if (command == "svc" && argc >= 3)
        return CSteps().Run(argc - 2, argv + 2);
    if (command == "errtext" && argc == 3)
        return PrintErrorText(Number(argv[2]));
    if (command == "reg" && argc >= 4)
        return RunRegistry(argc - 2, argv + 2);
    if (command == "handles" && argc == 3)
        return PrintHandleCount(Number(argv[2]));
    if (command == "reserve" && argc == 3)
        return HoldReservedSection(argv[2]);
    if (command == "idle" && argc == 2) {
        std::printf("waiting\n");
        std::fflush(stdout);
        Sleep(INFINITE);
    }
    return Usage();
}
