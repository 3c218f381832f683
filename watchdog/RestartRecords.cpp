#include "RestartRecords.h"

#include "TextOut.h"

namespace {

const char* SectionWords(ESectionState state) {
    switch (state) {
    case SectionMissing:
        return "did not exist";
    case SectionUnreadable:
        return "could not be read";
    case SectionHeld:
        break;
    }
    return "held";
}

// "the section NAME did not exist", or "... held "TEXT"", then " and more"
// when TEXT is not the whole text.
void AddSection(CTextOut& text, const char* section, const CSectionSeen& seen) {
    text.Add("the section %s %s", section, SectionWords(seen.state));
    if (seen.state == SectionHeld) {
        char shown[kSectionShown * 4 + 1];
        size_t count = seen.size < sizeof seen.bytes ? seen.size : sizeof seen.bytes;
        bool cut = false;
        ShowSectionText(shown, sizeof shown, seen.bytes, count, cut);
        text.Add(" \"%s\"%s", shown, cut ? " and more" : "");
    }
}

void AddOutcome(CTextOut& text, const char* service, const CRestartFacts& facts, bool one) {
    switch (facts.end) {
    case RestartRan:
        text.Add(" %s was running %lu ms after the %sstart.", service,
                 static_cast<unsigned long>(facts.tookMs), one ? "" : "last ");
        break;
    case RestartStopped:
        text.Add(" The watchdog was told to stop before %s ran.", service);
        break;
    case RestartRefused:
        text.Add(" %s was still not running when the next start was refused.", service);
        break;
    case RestartGoingOn:
        text.Add(" %s has not reached running yet; the watchdog keeps starting it.", service);
        break;
    }
}

} // namespace

size_t ShowSectionText(char* out, size_t size, const char* bytes, size_t count, bool& cut) {
    CTextOut text(out, size);
    size_t end = 0;
    while (end < count && bytes[end] != '\0')
        ++end;
    size_t shown = end < kSectionShown ? end : kSectionShown;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\\':
            text.Add("\\\\");
            break;
        case '"':
            text.Add("\\\"");
            break;
        case '\r':
            text.Add("\\r");
            break;
        case '\n':
            text.Add("\\n");
            break;
        case '\t':
            text.Add("\\t");
            break;
        default:
            if (c >= 0x20 && c < 0x7F && c != '%')
                text.Add("%c", c);
            else
                text.Add("\\x%02x", c);
        }
    }
    // Cut when more text follows what is shown, or when what was read ends
    // before its NUL: either way the reader must not take it for the whole.
    cut = end > shown || end == count;
    return text.Length();
}

size_t FormatRestartRecord(char* out, size_t size, const char* service, const char* section,
                           const CRestartFacts& last, uint32_t starts, bool counted) {
    CTextOut text(out, size);
    unsigned long number = starts;
    if (counted)
        text.Add("The watchdog started the service %s %lu more time%s since its previous "
                 "record. The last time, ",
                 service, number, number == 1 ? "" : "s");
    else if (starts > 1)
        text.Add("The watchdog started the service %s %lu times: it was not running, and ", service,
                 number);
    else
        text.Add("The watchdog started the service %s: it was not running, and ", service);
    AddSection(text, section, last.seen);
    text.Add(".");
    AddOutcome(text, service, last, !counted && starts <= 1);
    return text.Length();
}

size_t FormatGiveUpRecord(char* out, size_t size, const char* service, EGiveUpReason reason) {
    const char* why = "it no longer exists";
    if (reason == ServiceDisabled)
        why = "it is disabled";
    else if (reason == ServiceMarkedForDelete)
        why = "it is marked for deletion";
    CTextOut text(out, size);
    text.Add("The watchdog cannot start the service %s: %s. It goes on checking, and records "
             "nothing more about this until a start succeeds.",
             service, why);
    return text.Length();
}

CRecordPacing::CRecordPacing(uint32_t periodMs)
    : m_periodMs(periodMs), m_recorded(false), m_lastRecord(0), m_pending(0), m_counted(false) {}

void CRecordPacing::Count(uint32_t now, uint32_t starts) {
    if (m_pending == 0)
        m_counted = m_recorded && now - m_lastRecord < m_periodMs;
    m_pending += starts;
}

uint32_t CRecordPacing::Take(uint32_t now, bool& counted) {
    bool periodRuns = m_recorded && now - m_lastRecord < m_periodMs;
    if (periodRuns)
        return 0;
    // A period that ended with nothing to tell is over: forgetting it keeps
    // a tick that has wrapped around from ever making it look recent.
    m_recorded = false;
    if (m_pending == 0)
        return 0;
    return TakePending(now, counted);
}

uint32_t CRecordPacing::Flush(uint32_t now, bool& counted) {
    return m_pending == 0 ? 0 : TakePending(now, counted);
}

uint32_t CRecordPacing::TakePending(uint32_t now, bool& counted) {
    uint32_t restarts = m_pending;
    counted = m_counted;
    m_pending = 0;
    m_recorded = true;
    m_lastRecord = now;
    return restarts;
}
