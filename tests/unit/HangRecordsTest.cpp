// The records of a hung Ondrimar, word for word, and the longest of each
// within what Wine's trace shows.
#include "HangRecords.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

CHangFacts Facts(EHangReason reason, ESectionState state, const std::string& bytes, EHangEnd end) {
    CHangFacts facts = {};
    facts.reason = reason;
    facts.pid = 1234;
    facts.hungForMs = 5040;
    facts.limitSeconds = 5;
    facts.seen.state = state;
    facts.seen.size = bytes.size();
    memcpy(facts.seen.bytes, bytes.data(), bytes.size());
    facts.end = end;
    facts.stopSeconds = 30;
    facts.exitCode = 1067;
    facts.error = 5;
    return facts;
}

std::string Hang(const CHangFacts& facts, uint32_t count, bool counted) {
    std::vector<char> out(512, '#');
    size_t length = FormatHangRecord(out.data(), out.size(), "Ondrimar", "Ondrimar_LiveCheck",
                                     facts, count, counted);
    EXPECT_EQ(strlen(out.data()), length);
    return out.data();
}

std::string End(const CHangFacts& facts) {
    std::vector<char> out(512, '#');
    size_t length = FormatHangEndRecord(out.data(), out.size(), "Ondrimar", facts);
    EXPECT_EQ(strlen(out.data()), length);
    return out.data();
}

TEST(FormatHangRecord, CountedWithHowTheLastEnded) {
    struct {
        EHangReason reason;
        EHangEnd end;
        uint32_t count;
        const char* expected; // after "The watchdog restarted the hung service Ondrimar "
    } rows[] = {
        {HungUnhealthy, HangStopped, 1,
         "1 more time since its previous record about a hang; the last time because it had run "
         "5.0 s without \"1\" in the section, and it stopped when asked."},
        {HungHeartbeatStopped, HangEnded, 3,
         "3 more times since its previous record about a hang; the last time because its "
         "heartbeat had not moved for 5.0 s, and its process 1234 was ended (exit code 1067)."},
        {HungHeartbeatNeverMoved, HangEndFailed, 2,
         "2 more times since its previous record about a hang; the last time because its "
         "heartbeat had never moved in 5.0 s, and its process 1234 could not be ended (error "
         "5)."},
        {HungUnhealthy, HangNotEnded, 2,
         "2 more times since its previous record about a hang; the last time because it had run "
         "5.0 s without \"1\" in the section, and its process 1234 hosts other services and was "
         "not ended."},
        {HungUnhealthy, HangLeft, 2,
         "2 more times since its previous record about a hang; the last time because it had run "
         "5.0 s without \"1\" in the section, and it left process 1234, or the watchdog stopped, "
         "first."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(std::string("The watchdog restarted the hung service Ondrimar ") + row.expected,
                  Hang(Facts(row.reason, SectionMissing, "", row.end), row.count, true));
    }
}

TEST(FormatHangEndRecord, OnlyWhenItDidNotStop) {
    const char* notStopped = "The service Ondrimar did not stop within 30 s of the watchdog's "
                             "request (StopSeconds 30)";
    EXPECT_EQ(std::string(notStopped) +
                  ": the watchdog ended its process 1234, which exited with code 1067.",
              End(Facts(HungUnhealthy, SectionMissing, "", HangEnded)));
    EXPECT_EQ(std::string(notStopped) + ", and the watchdog could not end its process 1234 "
                                        "(error 5).",
              End(Facts(HungUnhealthy, SectionMissing, "", HangEndFailed)));
    EXPECT_EQ(std::string(notStopped) + ", and its process 1234 also hosts other services: the "
                                        "watchdog does not end it, nor act on a hang of "
                                        "Ondrimar while that process runs.",
              End(Facts(HungUnhealthy, SectionMissing, "", HangNotEnded)));
    EXPECT_EQ("", End(Facts(HungUnhealthy, SectionMissing, "", HangStopped)));
    EXPECT_EQ("", End(Facts(HungUnhealthy, SectionMissing, "", HangLeft)));
}

// Wine's trace shows 289 characters of a record: each record with the
// largest numbers, and a section of bytes that each take four characters,
// stays within them, so the scenarios see whole records.
TEST(FormatHangRecord, LongestFitsInWhatWineShows) {
    for (EHangReason reason : {HungUnhealthy, HungHeartbeatStopped, HungHeartbeatNeverMoved}) {
        for (EHangEnd end : {HangStopped, HangEnded, HangEndFailed, HangNotEnded, HangLeft}) {
            CHangFacts facts =
                Facts(reason, SectionHeld, std::string(kSectionShown + 1, '\x01'), end);
            facts.pid = facts.hungForMs = facts.exitCode = facts.error = 4294967295u;
            facts.limitSeconds = 86400;
            facts.stopSeconds = 600;
            for (bool counted : {false, true}) {
                std::string text = Hang(facts, 4294967295u, counted);
                EXPECT_LE(text.size(), 289u) << text;
            }
            EXPECT_LE(End(facts).size(), 289u);
        }
    }
}

} // namespace
