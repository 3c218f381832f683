// Writing one record to the Application event log: the one way the service
// object and code that runs apart from it (a worker thread with no access to
// the object) write their records.
#pragma once

#include <windows.h>

// The identifier a record of `eventType` carries by default, one of the
// three the executable's message table holds: 0xC0000002 for errors,
// 0x80000001 for warnings, 0x40000000 for every other type.
DWORD DefaultEventId(WORD eventType);

// Writes one record under the event source `source`, with `user` as its
// user SID (null: none), `eventType`, category 0, `eventId` and `text` as
// its one string. The source is registered for this record alone. Returns
// ReportEventA's result, or FALSE when the source could not be registered;
// the last error then tells why.
BOOL WriteEventRecord(LPCSTR source, PSID user, WORD eventType, DWORD eventId, LPCSTR text);
