// The liveness monitor's records: how a section's text is shown, the texts
// of the records, and their pacing. Inputs sit in buffers of exactly their
// size, so AddressSanitizer reports any access past them.
#include "RestartRecords.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct ShowRow {
    const char* label;
    std::string bytes; // exactly the bytes read from the section
    size_t size;       // the output buffer's size
    const char* expected;
};

const ShowRow kShowRows[] = {
    {"Zero", "0\0"s, 64, "0"},
    {"Empty", "\0\0"s, 64, ""},
    {"LineEnds", "\r\n\0"s, 64, "\\r\\n"},
    {"TabQuoteBackslash", "\t\"\\\0"s, 64, "\\t\\\"\\\\"},
    {"PercentCannotReferAMessage", "%%1\0"s, 64, "\\x25\\x251"},
    {"ControlDeleteAndHighBytes", "\x01\x1b\x7f\xe9\xff\0"s, 64, "\\x01\\x1b\\x7f\\xe9\\xff"},
    {"PrintableAsIs", " ~AZaz09<>&'\0"s, 64, " ~AZaz09<>&'"},
    {"StopsAtTheNul", "0\0\r\n"s, 64, "0"},
    {"SixteenThenNulWhole", "0123456789abcdef\0"s, 64, "0123456789abcdef"},
    {"SeventeenCut", "0123456789abcdefg"s, 64, "0123456789abcdef..."},
    {"LongerThanReadCut", "0123456789abcdef\n"s, 64, "0123456789abcdef..."},
    {"NoNulWithinReadCut", "abc"s, 64, "abc..."},
    {"NothingReadCut", ""s, 64, "..."},
    {"WorstCaseFits", std::string(17, '\x80'), 68, nullptr},
    {"OutputCutToBuffer", "abcdef\0"s, 5, "abcd"},
};

TEST(ShowSectionText, PrintableAsciiOnlyAndCutShort) {
    for (const ShowRow& row : kShowRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> bytes(row.bytes.begin(), row.bytes.end());
        std::vector<char> out(row.size, '#');
        size_t length = ShowSectionText(out.data(), out.size(), bytes.data(), bytes.size());
        std::string expected = row.expected ? row.expected : "";
        if (row.expected == nullptr) {
            for (int i = 0; i < 16; ++i)
                expected += "\\x80";
            expected += "...";
        }
        EXPECT_EQ(expected, std::string(out.data()));
        EXPECT_EQ(expected.size(), length);
        for (char c : std::string(out.data()))
            EXPECT_TRUE(c >= 0x20 && c < 0x7F && c != '%') << "byte " << int(c);
    }
}

TEST(ShowSectionText, NothingWrittenIntoNoBuffer) {
    char byte = '#';
    EXPECT_EQ(0u, ShowSectionText(&byte, 0, "0", 2));
    EXPECT_EQ('#', byte);
}

CRestartFacts Facts(ESectionState state, const std::string& bytes, bool ran, uint32_t tookMs) {
    CRestartFacts facts;
    facts.seen.state = state;
    facts.seen.size = bytes.size();
    memcpy(facts.seen.bytes, bytes.data(), bytes.size());
    facts.ran = ran;
    facts.tookMs = tookMs;
    return facts;
}

struct RecordRow {
    const char* label;
    CRestartFacts last;
    uint32_t starts;
    bool counted;
    const char* expected;
};

const RecordRow kRecordRows[] = {
    {"MissingRan", Facts(SectionMissing, "", true, 640), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar was running 640 ms after the start."},
    {"UnreadableRan", Facts(SectionUnreadable, "", true, 0), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck could not be read. Ondrimar was running 0 ms after the start."},
    {"HeldShownPrintable", Facts(SectionHeld, "0\r\nFake\0"s, true, 1234), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck held \"0\\r\\nFake\". Ondrimar was running 1234 ms after the start."},
    {"StoppedBeforeItRan", Facts(SectionMissing, "", false, 0), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. The watchdog was told to stop before Ondrimar ran."},
    {"SeveralStartsBeforeItRan", Facts(SectionMissing, "", true, 300), 3, false,
     "The watchdog started the service Ondrimar 3 times: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar was running 300 ms after the last start."},
    {"CountedNine", Facts(SectionMissing, "", true, 512), 9, true,
     "The watchdog started the service Ondrimar 9 more times since its previous record. The "
     "last time, the section Ondrimar_LiveCheck did not exist. Ondrimar was running 512 ms "
     "after the last start."},
    {"CountedOne", Facts(SectionHeld, "0\0"s, true, 7), 1, true,
     "The watchdog started the service Ondrimar 1 more time since its previous record. The "
     "last time, the section Ondrimar_LiveCheck held \"0\". Ondrimar was running 7 ms after "
     "the last start."},
};

TEST(FormatRestartRecord, OneRestartOrTheirNumber) {
    for (const RecordRow& row : kRecordRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> out(512, '#');
        size_t length =
            FormatRestartRecord(out.data(), out.size(), "Ondrimar", "Ondrimar_LiveCheck", row.last,
                                row.starts, row.counted);
        EXPECT_STREQ(row.expected, out.data());
        EXPECT_EQ(strlen(row.expected), length);
    }
}

// Wine's trace shows 289 characters of a record: the longest record, with
// the largest numbers and a section of bytes that each take four characters,
// stays within them, so the scenarios see whole records.
TEST(FormatRestartRecord, LongestFitsInWhatWineShows) {
    CRestartFacts facts =
        Facts(SectionHeld, std::string(kSectionShown + 1, '\x01'), true, 4294967295u);
    std::vector<char> out(512, '#');
    size_t length = FormatRestartRecord(out.data(), out.size(), "Ondrimar", "Ondrimar_LiveCheck",
                                        facts, 4294967295u, true);
    EXPECT_LE(length, 289u) << out.data();
    EXPECT_NE(nullptr, strstr(out.data(), "\\x01\\x01...\""));
}

TEST(FormatRestartRecord, CutToTheBuffer) {
    std::vector<char> out(11, '#');
    size_t length = FormatRestartRecord(out.data(), out.size(), "Ondrimar", "Ondrimar_LiveCheck",
                                        Facts(SectionMissing, "", true, 1), 1, false);
    EXPECT_STREQ("The watchd", out.data());
    EXPECT_EQ(10u, length);
}

struct GiveUpRow {
    const char* label;
    EGiveUpReason reason;
    const char* why;
};

const GiveUpRow kGiveUpRows[] = {
    {"Disabled", ServiceDisabled, "it is disabled"},
    {"MarkedForDelete", ServiceMarkedForDelete, "it is marked for deletion"},
    {"Gone", ServiceGone, "it no longer exists"},
};

TEST(FormatGiveUpRecord, SaysWhich) {
    for (const GiveUpRow& row : kGiveUpRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> out(512, '#');
        FormatGiveUpRecord(out.data(), out.size(), "Ondrimar", row.reason);
        EXPECT_EQ("The watchdog cannot start the service Ondrimar: "s + row.why +
                      ". It goes on checking, and records nothing more about this until a start "
                      "succeeds.",
                  std::string(out.data()));
    }
}

// A step of the pacing: a restart of `starts` starts counted at `tick`
// (none when 0), then a look at what is due at `tick`.
struct PaceStep {
    uint32_t starts;
    uint32_t tick;
    uint32_t due; // starts in the record due, 0: none
    bool counted; // the record gives their number
};

struct PaceRow {
    const char* label;
    std::vector<PaceStep> steps;
};

const PaceRow kPaceRows[] = {
    {"FlappingOneRecordAMinute",
     {{1, 1000, 1, false},
      {1, 2000, 0, false},
      {1, 30000, 0, false},
      {0, 60999, 0, false},
      {0, 61000, 2, true},
      {1, 61500, 0, false},
      {0, 120999, 0, false},
      {0, 121000, 1, true},
      {0, 181000, 0, false},
      {1, 181500, 1, false}}},
    {"AMinuteApartBothAtOnce", {{1, 0, 1, false}, {1, 60000, 1, false}}},
    {"JustInsideTheMinuteCounted", {{1, 0, 1, false}, {1, 59999, 0, false}, {0, 60000, 1, true}}},
    {"LateLookTellsAllCounted", {{1, 0, 1, false}, {1, 30000, 0, false}, {1, 100000, 2, true}}},
    {"SeveralStartsInOneRestart", {{3, 0, 3, false}, {2, 1000, 0, false}, {0, 60000, 2, true}}},
    {"AcrossTheTickWrap",
     {{1, 0xFFFFF000u, 1, false},
      {1, 0x00001000u, 0, false},
      {0, 0x0000DA5Fu, 0, false},
      {0, 0x0000DA60u, 1, true}}},
    {"QuietMinuteForgotten", {{1, 0, 1, false}, {0, 60000, 0, false}, {1, 5, 1, false}}},
};

TEST(CRecordPacing, OneRecordAMinuteTheRestCounted) {
    for (const PaceRow& row : kPaceRows) {
        SCOPED_TRACE(row.label);
        CRecordPacing pacing(60000);
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const PaceStep& step = row.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (step.starts != 0)
                pacing.Count(step.tick, step.starts);
            bool counted = !step.counted;
            EXPECT_EQ(step.due, pacing.Take(step.tick, counted));
            if (step.due != 0) {
                EXPECT_EQ(step.counted, counted);
            }
        }
    }
}

} // namespace
