// The liveness monitor's records: how a section's text is shown, the texts
// of the records, and their pacing. Inputs sit in buffers of exactly their
// size, so AddressSanitizer reports any access past them.
#include "RestartRecords.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct ShowRow {
    const char* label;
    std::string bytes; // exactly the bytes read from the section
    size_t size;       // the output buffer's size
    const char* expected;
    bool cut;
};

const ShowRow kShowRows[] = {
    {"Zero", "0\0"s, 64, "0", false},
    {"Empty", "\0\0"s, 64, "", false},
    {"LineEnds", "\r\n\0"s, 64, "\\r\\n", false},
    {"TabQuoteBackslash", "\t\"\\\0"s, 64, "\\t\\\"\\\\", false},
    {"PercentCannotReferAMessage", "%%1\0"s, 64, "\\x25\\x251", false},
    {"ControlDeleteAndHighBytes", "\x01\x1b\x7f\xe9\xff\0"s, 64, "\\x01\\x1b\\x7f\\xe9\\xff",
     false},
    {"PrintableAsIs", " ~AZaz09<>&'.\0"s, 64, " ~AZaz09<>&'.", false},
    {"StopsAtTheNul", "0\0\r\n"s, 64, "0", false},
    {"SixteenThenNulWhole", "0123456789abcdef\0"s, 64, "0123456789abcdef", false},
    {"SeventeenCut", "0123456789abcdefg"s, 64, "0123456789abcdef", true},
    {"LongerThanReadCut", "0123456789abcdef\n"s, 64, "0123456789abcdef", true},
    {"NoNulWithinReadCut", "abc"s, 64, "abc", true},
    {"NothingReadCut", ""s, 64, "", true},
    {"WorstCaseFits", std::string(17, '\x80'), 65, nullptr, true},
    {"OutputCutToBuffer", "abcdef\0"s, 5, "abcd", false},
};

TEST(ShowSectionText, PrintableAsciiOnlyAndCutShort) {
    for (const ShowRow& row : kShowRows) {
        SCOPED_TRACE(row.label);
        std::vector<char> bytes(row.bytes.begin(), row.bytes.end());
        std::vector<char> out(row.size, '#');
        bool cut = !row.cut;
        size_t length = ShowSectionText(out.data(), out.size(), bytes.data(), bytes.size(), cut);
        std::string expected = row.expected ? row.expected : "";
        for (int i = 0; row.expected == nullptr && i < 16; ++i)
            expected += "\\x80";
        EXPECT_EQ(expected, std::string(out.data()));
        EXPECT_EQ(expected.size(), length);
        EXPECT_EQ(row.cut, cut);
    }
}

// Reads a shown text back into bytes, as an administrator could: false when
// it holds anything but printable ASCII, a bare quote or percent sign, or an
// escape other than \\, \", \r, \n, \t and \xNN.
bool ReadBack(const std::string& shown, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < shown.size(); ++i) {
        char c = shown[i];
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '%')
            return false;
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (++i == shown.size())
            return false;
        const std::string plain = "\\\"rnt", meant = "\\\"\r\n\t";
        size_t which = plain.find(shown[i]);
        if (which != std::string::npos) {
            bytes += meant[which];
        } else if (shown[i] == 'x' && i + 2 < shown.size() && isxdigit(shown[i + 1]) &&
                   isxdigit(shown[i + 2])) {
            bytes += static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// Any bytes at all: what is shown reads back as exactly the text's first
// bytes, and it is marked cut exactly when that is not the whole text.
TEST(ShowSectionText, ReadsBackAsTheBytesForEveryByte) {
    std::mt19937 random(19);
    for (int round = 0; round < 4000; ++round) {
        size_t count = 1 + random() % (kSectionShown + 1);
        std::vector<char> bytes(count);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<char>(round < 256 ? (round + i) % 256 : random() % 256);
        char out[kSectionShown * 4 + 1];
        bool cut = false;
        std::string shown(out, ShowSectionText(out, sizeof out, bytes.data(), count, cut));
        size_t end = std::find(bytes.begin(), bytes.end(), '\0') - bytes.begin();
        SCOPED_TRACE(shown);
        EXPECT_EQ(end > kSectionShown || end == count, cut);
        std::string read;
        ASSERT_TRUE(ReadBack(shown, read));
        EXPECT_EQ(std::string(bytes.data(), std::min(end, kSectionShown)), read);
    }
}

TEST(ShowSectionText, NothingWrittenIntoNoBuffer) {
    char byte = '#';
    bool cut = true;
    EXPECT_EQ(0u, ShowSectionText(&byte, 0, "0", 2, cut));
    EXPECT_EQ('#', byte);
}

CRestartFacts Facts(ESectionState state, const std::string& bytes, ERestartEnd end,
                    uint32_t tookMs) {
    CRestartFacts facts;
    facts.seen.state = state;
    facts.seen.size = bytes.size();
    memcpy(facts.seen.bytes, bytes.data(), bytes.size());
    facts.end = end;
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
    {"MissingRan", Facts(SectionMissing, "", RestartRan, 640), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar was running 640 ms after the start."},
    {"UnreadableRan", Facts(SectionUnreadable, "", RestartRan, 0), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck could not be read. Ondrimar was running 0 ms after the start."},
    {"HeldShownPrintable", Facts(SectionHeld, "0\r\nFake\0"s, RestartRan, 1234), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck held \"0\\r\\nFake\". Ondrimar was running 1234 ms after the start."},
    {"HeldCutShort", Facts(SectionHeld, "0123456789abcdef\r"s, RestartRan, 5), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck held \"0123456789abcdef\" and more. Ondrimar was running 5 ms after "
     "the start."},
    {"StoppedBeforeItRan", Facts(SectionMissing, "", RestartStopped, 0), 1, false,
     "The watchdog started the service Ondrimar: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. The watchdog was told to stop before Ondrimar ran."},
    {"RefusedAfterStarts", Facts(SectionMissing, "", RestartRefused, 0), 4, false,
     "The watchdog started the service Ondrimar 4 times: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar was still not running when the next start was "
     "refused."},
    {"SeveralStartsBeforeItRan", Facts(SectionMissing, "", RestartRan, 300), 3, false,
     "The watchdog started the service Ondrimar 3 times: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar was running 300 ms after the last start."},
    {"CountedNine", Facts(SectionMissing, "", RestartRan, 512), 9, true,
     "The watchdog started the service Ondrimar 9 more times since its previous record. The "
     "last time, the section Ondrimar_LiveCheck did not exist. Ondrimar was running 512 ms "
     "after the last start."},
    {"GoingOnAfterAQuietPeriod", Facts(SectionMissing, "", RestartGoingOn, 0), 41, false,
     "The watchdog started the service Ondrimar 41 times: it was not running, and the section "
     "Ondrimar_LiveCheck did not exist. Ondrimar has not reached running yet; the watchdog keeps "
     "starting it."},
    {"GoingOnCounted", Facts(SectionMissing, "", RestartGoingOn, 0), 230, true,
     "The watchdog started the service Ondrimar 230 more times since its previous record. The "
     "last time, the section Ondrimar_LiveCheck did not exist. Ondrimar has not reached running "
     "yet; the watchdog keeps starting it."},
    {"CountedOne", Facts(SectionHeld, "0\0"s, RestartRan, 7), 1, true,
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
    for (ERestartEnd end : {RestartRan, RestartStopped, RestartRefused, RestartGoingOn}) {
        CRestartFacts facts =
            Facts(SectionHeld, std::string(kSectionShown + 1, '\x01'), end, 4294967295u);
        std::vector<char> out(512, '#');
        size_t length = FormatRestartRecord(out.data(), out.size(), "Ondrimar",
                                            "Ondrimar_LiveCheck", facts, 4294967295u, true);
        EXPECT_LE(length, 289u) << out.data();
        EXPECT_NE(nullptr, strstr(out.data(), "\\x01\\x01\" and more."));
    }
}

TEST(FormatRestartRecord, CutToTheBuffer) {
    std::vector<char> out(11, '#');
    size_t length = FormatRestartRecord(out.data(), out.size(), "Ondrimar", "Ondrimar_LiveCheck",
                                        Facts(SectionMissing, "", RestartRan, 1), 1, false);
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
// (none when 0), then a look at what is due at `tick`: Take, or with `flush`
// the watchdog's stop.
struct PaceStep {
    uint32_t starts;
    uint32_t tick;
    uint32_t due; // starts in the record due, 0: none
    bool counted; // the record gives their number
    bool flush = false;
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
    {"StopTellsTheMinutesCount", {{1, 0, 1, false}, {3, 1000, 0, false}, {2, 2000, 5, true, true}}},
    {"StopRightAfterAQuietRestart", {{1, 0, 1, false, true}, {0, 10, 0, false, true}}},
    {"StopWithNothingLeftKeepsThePeriod",
     {{1, 0, 1, false}, {0, 1000, 0, false, true}, {1, 2000, 0, false}, {0, 60000, 1, true}}},
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
            EXPECT_EQ(step.due, step.flush ? pacing.Flush(step.tick, counted)
                                           : pacing.Take(step.tick, counted));
            if (step.due != 0) {
                EXPECT_EQ(step.counted, counted);
            }
        }
    }
}

// Restarts at random times, looked at once a second as the monitor does:
// records stay a period apart, every start is in exactly one record, none
// waits more than a period, and a record not counted is one restart told
// at once.
TEST(CRecordPacing, NoStartLostNoRecordWithinAMinute) {
    const uint32_t kPeriod = 60000;
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        CRecordPacing pacing(kPeriod);
        uint32_t tick = random(); // anywhere, the wrap-around included
        uint32_t counted = 0, recorded = 0, oldestWaiting = 0, lastRecord = 0;
        bool anyRecord = false;
        for (int second = 0; second < 600; ++second, tick += 1000) {
            uint32_t starts = random() % 4 == 0 ? 1 + random() % 3 : 0;
            if (starts != 0) {
                if (counted == recorded)
                    oldestWaiting = tick;
                pacing.Count(tick, starts);
                counted += starts;
            }
            bool wasCounted = false;
            uint32_t due = pacing.Take(tick, wasCounted);
            if (due == 0) {
                EXPECT_TRUE(counted == recorded || tick - oldestWaiting < kPeriod);
                continue;
            }
            SCOPED_TRACE("round " + std::to_string(round) + ", second " + std::to_string(second));
            EXPECT_TRUE(!anyRecord || tick - lastRecord >= kPeriod);
            EXPECT_EQ(counted - recorded, due);
            if (!wasCounted) {
                EXPECT_EQ(starts, due);
                EXPECT_EQ(oldestWaiting, tick);
            }
            recorded += due;
            lastRecord = tick;
            anyRecord = true;
        }
    }
}

} // namespace
