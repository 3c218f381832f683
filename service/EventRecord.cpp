#include "EventRecord.h"

#include "Handles.h"

DWORD DefaultEventId(WORD eventType) {
    // Severity in the top two bits, facility 0, code in the low 16 bits.
    switch (eventType) {
    case EVENTLOG_ERROR_TYPE:
        return 0xC0000002u; // error, code 2
    case EVENTLOG_WARNING_TYPE:
        return 0x80000001u; // warning, code 1
    default:
        return 0x40000000u; // informational, code 0
    }
}

BOOL WriteEventRecord(LPCSTR source, PSID user, WORD eventType, DWORD eventId, LPCSTR text) {
    // A source with no key under the Application log is accepted too; Event
    // Viewer then finds no message file for it. Wine stores no record at all:
    // it returns a made-up handle and only traces the record on standard
    // error (advapi and eventlog debug channels).
    CEventSource handle(RegisterEventSourceA(NULL, source));
    if (!handle)
        return FALSE;
    LPCSTR strings[1] = {text};
    return ReportEventA(handle.get(), eventType, 0, eventId, user, 1, 0, strings, NULL);
}
