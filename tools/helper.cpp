// helper: the stand-in for the software Brisvel watches, and the probes the
// Wine scenarios, the demo and the benchmark need, in one executable. Its
// parts, by audience, are listed in helper.h.
//
//   helper service [slow|fail|beat] run as a service (started by the service
//                                manager): the stand-in (tools/StandIn.cpp)
//   helper svc NAME STEP...      drive services (tools/Steps.cpp)
//   helper handles PID           how many handles the process PID holds
//   helper idle                  block for ever (the benchmark's floor)
// Only the tests use these (tests/wine/probes.cpp):
//   helper errtext CODE          the system's text for CODE, as the watchdog
//                                formats it, without the final CR LF
//   helper reg get [VIEW] KEY VALUE   "TYPE BYTES" of a value, or "none"
//   helper reg set [VIEW] KEY VALUE TYPE BYTES
//   helper reg delete [VIEW] KEY VALUE   (VIEW: /reg:32 or /reg:64, the
//                                registry view whatever the helper's own)
//   helper reserve BYTES         hold "Ondrimar_LiveCheck" created with
//                                SEC_RESERVE, BYTES and a zero written into
//                                it, until the process is ended
//   helper squat BYTES           the same, committed and with the default
//                                descriptor: a section the publisher must
//                                not take over
//   helper forge BYTES           write BYTES and a zero into the section as it
//                                is (or a new one), and hold it
//   helper message MODULE ID INSERT  message ID of MODULE's message table
//                                formatted with one INSERT, as Event Viewer
//                                does, written byte for byte
//   helper event                 hold an event named "Ondrimar_LiveCheck"
//   helper section               the section's DACL (SDDL) and first bytes,
//                                or "none ERROR"
//   helper account PID           the account (SID) process PID runs as
//   helper reopen MS             the publisher reopening the section while a
//                                check holds the old one for MS ms
// KEY starts with HKLM\ or HKCU\. BYTES are written with C escapes: \0, \\,
// \" and \xNN for every byte that is not printable ASCII.
#include "helper.h"
#include "probes.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int Usage() {
    std::fputs(
        "usage: helper service [slow|fail|beat] | svc NAME STEP... | handles PID | idle |\n"
        "       errtext CODE | reg get|set|delete [/reg:32|/reg:64] KEY VALUE [TYPE BYTES] |\n"
        "       reserve BYTES | squat BYTES | forge BYTES | event | section |\n"
        "       account PID | reopen MS | message MODULE ID INSERT\n",
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

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "service" && argc <= 3)
        return RunService(argc == 3 ? argv[2] : "");
    if (command == "svc" && argc >= 3)
        return RunSteps(argc - 2, argv + 2);
    if (command == "handles" && argc == 3)
        return PrintHandleCount(Number(argv[2]));
    if (command == "idle" && argc == 2)
        return Idle();
    if (command == "errtext" && argc == 3)
        return PrintErrorText(Number(argv[2]));
    if (command == "reg" && argc >= 4)
        return RunRegistry(argc - 2, argv + 2);
    if (command == "reserve" && argc == 3)
        return HoldSection(SEC_RESERVE, argv[2], true);
    if (command == "squat" && argc == 3)
        return HoldSection(SEC_COMMIT, argv[2], true);
    if (command == "forge" && argc == 3)
        return HoldSection(SEC_COMMIT, argv[2], false);
    if (command == "message" && argc == 5)
        return PrintMessage(argv[2], Number(argv[3]), argv[4]);
    if (command == "event" && argc == 2)
        return HoldEvent();
    if (command == "section" && argc == 2)
        return PrintSection();
    if (command == "account" && argc == 3)
        return PrintAccount(Number(argv[2]));
    if (command == "reopen" && argc == 3)
        return Reopen(Number(argv[2]));
    return Usage();
}
