#include "HangRecords.h"

#include "TextOut.h"

namespace {

// Milliseconds as seconds with one decimal, "5.0 s".
void AddSeconds(CTextOut& text, uint32_t ms) {
    text.Add("%lu.%lu s", static_cast<unsigned long>(ms / 1000),
             static_cast<unsigned long>(ms % 1000 / 100));
}

// "it did not exist", "it could not be read" or "it held "TEXT"" (shown as
// ShowSectionText shows it), then " and more" when TEXT is not the whole.
void AddSectionState(CTextOut& text, const CSectionSeen& seen) {
    if (seen.state == SectionMissing) {
        text.Add("it did not exist");
        return;
    }
    if (seen.state == SectionUnreadable) {
        text.Add("it could not be read");
        return;
    }
    char shown[kSectionShown * 4 + 1];
    size_t count = seen.size < sizeof seen.bytes ? seen.size : sizeof seen.bytes;
    bool cut = false;
    ShowSectionText(shown, sizeof shown, seen.bytes, count, cut);
    text.Add("it held \"%s\"%s", shown, cut ? " and more" : "");
}

// Why the service counts as hung, as a whole sentence.
void AddReason(CTextOut& text, const char* service, const char* section, const CHangFacts& facts) {
    unsigned long pid = facts.pid;
    unsigned long limit = facts.limitSeconds;
    switch (facts.reason) {
    case HungUnhealthy:
        text.Add("The service %s has run in process %lu for ", service, pid);
        AddSeconds(text, facts.hungForMs);
        text.Add(" while the section %s did not say \"1\" (UnhealthySeconds %lu): ", section,
                 limit);
        AddSectionState(text, facts.seen);
        text.Add(".");
        break;
    case HungHeartbeatStopped:
        text.Add("The service %s runs in process %lu and the section %s says \"1\", but its "
                 "heartbeat has not moved for ",
                 service, pid, section);
        AddSeconds(text, facts.hungForMs);
        text.Add(" (HeartbeatSeconds %lu).", limit);
        break;
    case HungHeartbeatNeverMoved:
    case NotHung:
        text.Add("The service %s runs in process %lu and the section %s has said \"1\" for ",
                 service, pid, section);
        AddSeconds(text, facts.hungForMs);
        text.Add(", but its heartbeat never moved (HeartbeatSeconds %lu): does the software call "
                 "LiveCheckBeat?",
                 limit);
        break;
    }
}

// The same, short, after "because".
void AddShortReason(CTextOut& text, const CHangFacts& facts) {
    switch (facts.reason) {
    case HungUnhealthy:
        text.Add("it had run ");
        AddSeconds(text, facts.hungForMs);
        text.Add(" without \"1\" in the section");
        break;
    case HungHeartbeatStopped:
        text.Add("its heartbeat had not moved for ");
        AddSeconds(text, facts.hungForMs);
        break;
    case HungHeartbeatNeverMoved:
    case NotHung:
        text.Add("its heartbeat had never moved in ");
        AddSeconds(text, facts.hungForMs);
        break;
    }
}

// How the restart ended, short.
void AddShortEnd(CTextOut& text, const CHangFacts& facts) {
    unsigned long pid = facts.pid;
    switch (facts.end) {
    case HangStopped:
        text.Add("it stopped when asked");
        break;
    case HangEnded:
        text.Add("its process %lu was ended (exit code %lu)", pid,
                 static_cast<unsigned long>(facts.exitCode));
        break;
    case HangEndFailed:
        text.Add("its process %lu could not be ended (error %lu)", pid,
                 static_cast<unsigned long>(facts.error));
        break;
    case HangNotEnded:
        text.Add("its process %lu hosts other services and was not ended", pid);
        break;
    case HangLeft:
        text.Add("it left process %lu, or the watchdog stopped, first", pid);
        break;
    }
}

// "The service S did not stop within N s of the watchdog's request
// (StopSeconds N)".
void AddNotStopped(CTextOut& text, const char* service, const CHangFacts& facts) {
    unsigned long seconds = facts.stopSeconds;
    text.Add("The service %s did not stop within %lu s of the watchdog's request (StopSeconds %lu)",
             service, seconds, seconds);
}

} // namespace

size_t FormatHangRecord(char* out, size_t size, const char* service, const char* section,
                        const CHangFacts& facts, uint32_t count, bool counted) {
    CTextOut text(out, size);
    if (!counted) {
        AddReason(text, service, section, facts);
        text.Add(" The watchdog stops it and starts it again.");
        return text.Length();
    }
    text.Add("The watchdog restarted the hung service %s %lu more time%s since its previous "
             "record about a hang; the last time because ",
             service, static_cast<unsigned long>(count), count == 1 ? "" : "s");
    AddShortReason(text, facts);
    text.Add(", and ");
    AddShortEnd(text, facts);
    text.Add(".");
    return text.Length();
}

size_t FormatHangEndRecord(char* out, size_t size, const char* service, const CHangFacts& facts) {
    CTextOut text(out, size);
    unsigned long pid = facts.pid;
    switch (facts.end) {
    case HangEnded:
        AddNotStopped(text, service, facts);
        text.Add(": the watchdog ended its process %lu, which exited with code %lu.", pid,
                 static_cast<unsigned long>(facts.exitCode));
        break;
    case HangEndFailed:
        AddNotStopped(text, service, facts);
        text.Add(", and the watchdog could not end its process %lu (error %lu).", pid,
                 static_cast<unsigned long>(facts.error));
        break;
    case HangNotEnded:
        AddNotStopped(text, service, facts);
        text.Add(", and its process %lu also hosts other services: the watchdog does not end it, "
                 "nor act on a hang of %s while that process runs.",
                 pid, service);
        break;
    case HangStopped:
    case HangLeft:
        break;
    }
    return text.Length();
}

size_t FormatSelfRecord(char* out, size_t size, const char* service, uint32_t pid) {
    CTextOut text(out, size);
    text.Add("The service %s runs in the watchdog's own process %lu: the watchdog never stops or "
             "ends itself, and does not act on a hang of %s while it runs there.",
             service, static_cast<unsigned long>(pid), service);
    return text.Length();
}

size_t FormatNoHangRecoveryRecord(char* out, size_t size, const char* service,
                                  const char* function) {
    CTextOut text(out, size);
    text.Add("Hang recovery is off: this version of Windows has no %s, which the watchdog needs "
             "to find the process of the service %s. UnhealthySeconds and HeartbeatSeconds are "
             "not used.",
             function, service);
    return text.Length();
}
