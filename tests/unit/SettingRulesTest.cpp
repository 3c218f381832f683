// The hang-recovery settings: each row a value as the registry gives it,
// whether it is taken, what is used, and the warning a value not taken
// gives, word for word.
#include "SettingRules.h"

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

namespace {

const char kKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\BrisvelWatch\\Parameters";
const uint32_t kSz = 1, kDword = 4, kQword = 11;

CSettingRead Value(uint32_t type, uint32_t size, uint32_t value) {
    return {CSettingRead::Read, type, size, value, 0};
}

struct Row {
    const char* label;
    const CSettingRule& rule;
    CSettingRead read;
    ESettingVerdict verdict;
    uint32_t used;
    const char* warning; // after "The value NAME under KEY "; null: none
};

const Row kRows[] = {
    {"Absent",
     kUnhealthySecondsRule,
     {CSettingRead::Absent, 0, 0, 0, 0},
     SettingAbsent,
     0,
     nullptr},
    {"Off", kUnhealthySecondsRule, Value(kDword, 4, 0), SettingTaken, 0, nullptr},
    {"Lowest", kUnhealthySecondsRule, Value(kDword, 4, 5), SettingTaken, 5, nullptr},
    {"Highest", kHeartbeatSecondsRule, Value(kDword, 4, 86400), SettingTaken, 86400, nullptr},
    {"BelowTheLowest", kUnhealthySecondsRule, Value(kDword, 4, 3), SettingOutOfRange, 0,
     "is 3, outside what it accepts (0, or 5 to 86400): the watchdog uses 0 (off) instead."},
    {"AboveTheHighest", kHeartbeatSecondsRule, Value(kDword, 4, 86401), SettingOutOfRange, 0,
     "is 86401, outside what it accepts (0, or 5 to 86400): the watchdog uses 0 (off) instead."},
    {"NotAsNegative", kUnhealthySecondsRule, Value(kDword, 4, 0xFFFFFFFFu), SettingOutOfRange, 0,
     "is 4294967295, outside what it accepts (0, or 5 to 86400): the watchdog uses 0 (off) "
     "instead."},
    {"StopOne", kStopSecondsRule, Value(kDword, 4, 1), SettingTaken, 1, nullptr},
    {"StopSixHundred", kStopSecondsRule, Value(kDword, 4, 600), SettingTaken, 600, nullptr},
    {"StopZeroIsNotOff", kStopSecondsRule, Value(kDword, 4, 0), SettingOutOfRange, 30,
     "is 0, outside what it accepts (1 to 600): the watchdog uses 30 instead."},
    {"StopAbsent",
     kStopSecondsRule,
     {CSettingRead::Absent, 0, 0, 0, 0},
     SettingAbsent,
     30,
     nullptr},
    {"AString", kHeartbeatSecondsRule, Value(kSz, 3, 0x3033), SettingWrongType, 0,
     "is of type REG_SZ, not REG_DWORD: the watchdog uses 0 (off) instead."},
    {"AQword", kUnhealthySecondsRule, Value(kQword, 8, 30), SettingWrongType, 0,
     "is of type REG_QWORD, not REG_DWORD: the watchdog uses 0 (off) instead."},
    {"AnUnknownType", kStopSecondsRule, Value(0x4242, 4, 30), SettingWrongType, 30,
     "is of type type 16962, not REG_DWORD: the watchdog uses 30 instead."},
    {"ADwordTooShort", kStopSecondsRule, Value(kDword, 2, 30), SettingWrongSize, 30,
     "is a REG_DWORD of 2 bytes, not 4: the watchdog uses 30 instead."},
    {"Unreadable",
     kHeartbeatSecondsRule,
     {CSettingRead::Unreadable, 0, 0, 0, 5},
     SettingUnreadable,
     0,
     "could not be read (error 5): the watchdog uses 0 (off) instead."},
};

TEST(CheckSetting, TakenOnlyAsADwordInItsRange) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.label);
        uint32_t used = 12345;
        EXPECT_EQ(row.verdict, CheckSetting(row.rule, row.read, used));
        EXPECT_EQ(row.used, used);
        if (row.warning == nullptr)
            continue;
        std::vector<char> out(400, '#');
        size_t length =
            FormatSettingWarning(out.data(), out.size(), kKey, row.rule, row.verdict, row.read);
        std::string expected =
            std::string("The value ") + row.rule.name + " under " + kKey + " " + row.warning;
        EXPECT_EQ(expected, out.data());
        EXPECT_EQ(expected.size(), length);
    }
}

TEST(FormatKeyWarning, NamesEveryDefault) {
    std::vector<char> out(400, '#');
    FormatKeyWarning(out.data(), out.size(), kKey, 5);
    EXPECT_EQ(std::string("The key ") + kKey +
                  " could not be read (error 5): the watchdog uses the defaults, "
                  "UnhealthySeconds 0 (off), HeartbeatSeconds 0 (off) and StopSeconds 30.",
              out.data());
}

} // namespace
