// The Application event log: sources registered per call and records kept in
// order.
#include "core.h"

#include <cstring>

using namespace winsim::detail;

namespace {

struct SourceObject : Object {
    std::string source;
};

std::vector<winsim::EventRecord>& records() {
    static std::vector<winsim::EventRecord> log;
    return log;
}

[[maybe_unused]] const bool registered = [] {
    registerReset([] { records().clear(); });
    return true;
}();

} // namespace

namespace winsim {

std::vector<EventRecord> eventLog() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return records();
}

} // namespace winsim

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
    Call call("RegisterEventSourceA");
    if (serverName != nullptr) {
        winsim::unsupported("RegisterEventSourceA: remote servers");
    }
    if (call.failed()) {
        return call.fail<HANDLE>(nullptr);
    }
    if (sourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto source = std::make_shared<SourceObject>();
    source->source = sourceName;
    return reinterpret_cast<HANDLE>(addHandle(winsim::Kind::EventSource, source));
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData) {
    Call call("ReportEventA");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    auto source = call.object<SourceObject>(eventLog, {winsim::Kind::EventSource});
    if (!source) {
        return FALSE;
    }
    if (dataSize != 0 && rawData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winsim::EventRecord record{source->source, type, category, eventId, {}, {}, dataSize};
    if (userSid != nullptr) {
        const BYTE* sid = static_cast<const BYTE*>(userSid);
        if (sid[0] != 1 || sid[1] > 15) {
            SetLastError(ERROR_INVALID_SID);
            return FALSE;
        }
        record.userSid.assign(sid, sid + 8 + 4 * sid[1]);
    }
    for (WORD i = 0; i < numStrings; ++i) {
        record.strings.emplace_back(strings[i] != nullptr ? strings[i] : "");
    }
    records().push_back(std::move(record));
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    Call call("DeregisterEventSource");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    return call.close(eventLog, {winsim::Kind::EventSource}) ? TRUE : FALSE;
}

} // extern "C"
