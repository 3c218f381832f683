#include <windows.h>

#include <gtest/gtest.h>

#include "Fixture.h"

#include <ostream>
#include <string>
#include <vector>

#include "OptionWalk.h"

namespace {

// The account and password before the walk; a field no option sets keeps it.
const char kInitialAccount[] = "initial account";
const char kInitialPassword[] = "initial password";
const char* const kKept = "<kept>";

struct CWalkCase {
    const char* name;
    std::vector<std::string> args; // after the program path
    ECommandAction action;
    const char* account; // kKept: unchanged; NULL: set to null
    const char* password;
    int argc = -1; // -1: every argument
};

void PrintTo(const CWalkCase& row, std::ostream* out) {
    *out << row.name;
}

class WalkOptionsTest : public ::testing::TestWithParam<CWalkCase> {};

// A value must point into the argument strings, not at a copy.
bool PointsIntoArguments(const char* value, const std::vector<std::string>& storage,
                         char* const* argv) {
    for (size_t i = 0; i < storage.size(); ++i) {
        if (value >= argv[i] && value <= argv[i] + storage[i].size())
            return true;
    }
    return false;
}

void ExpectField(const char* expected, const char* initial, const char* actual,
                 const std::vector<std::string>& storage, char* const* argv) {
    if (expected == kKept) {
        EXPECT_EQ(initial, actual);
    } else if (expected == NULL) {
        EXPECT_EQ(nullptr, actual);
    } else {
        ASSERT_NE(nullptr, actual);
        EXPECT_STREQ(expected, actual);
        EXPECT_TRUE(PointsIntoArguments(actual, storage, argv));
    }
}

TEST_P(WalkOptionsTest, SelectsActionAndValues) {
    const CWalkCase& c = GetParam();
    std::vector<std::string> storage = {"brisvel.exe"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(&s[0]);
    argv.push_back(NULL);
    int argc = c.argc < 0 ? static_cast<int>(storage.size()) : c.argc;

    CCommandOptions options = WalkOptions(argc, argv.data(), kInitialAccount, kInitialPassword);

    EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(options.m_action));
    ExpectField(c.account, kInitialAccount, options.m_accountName, storage, argv.data());
    ExpectField(c.password, kInitialPassword, options.m_password, storage, argv.data());
}

const ECommandAction kRun = ECommandAction::RunAsService;
const ECommandAction kInstall = ECommandAction::Install;
const ECommandAction kUninstall = ECommandAction::Uninstall;
const ECommandAction kStart = ECommandAction::StartInstalled;
const ECommandAction kStop = ECommandAction::StopInstalled;

INSTANTIATE_TEST_SUITE_P(
    CommandLines, WalkOptionsTest,
    ::testing::Values(
        CWalkCase{"NoArguments", {}, kRun, kKept, kKept},
        CWalkCase{"Install", {"-i"}, kInstall, kKept, kKept},
        CWalkCase{"Uninstall", {"-u"}, kUninstall, kKept, kKept},
        CWalkCase{"Start", {"-s"}, kStart, kKept, kKept},
        CWalkCase{"Stop", {"-e"}, kStop, kKept, kKept},
        CWalkCase{"UppercaseInstall", {"-I"}, kRun, kKept, kKept},
        CWalkCase{"UppercaseStop", {"-E"}, kRun, kKept, kKept},
        CWalkCase{"SecondHyphen", {"--i"}, kRun, kKept, kKept},
        CWalkCase{"UnknownLetter", {"-x"}, kRun, kKept, kKept},
        CWalkCase{"LoneHyphen", {"-"}, kRun, kKept, kKept},
        CWalkCase{"SlashForm", {"/i"}, kRun, kKept, kKept},
        CWalkCase{"Word", {"install"}, kRun, kKept, kKept},
        CWalkCase{"EmptyArgument", {""}, kRun, kKept, kKept},
        CWalkCase{"LastActionWinsUninstall", {"-i", "-u"}, kUninstall, kKept, kKept},
        CWalkCase{"LastActionWinsInstall", {"-u", "-i"}, kInstall, kKept, kKept},
        CWalkCase{"WordStopStarts", {"-stop"}, kStart, kKept, kKept},
        CWalkCase{"WordStartStarts", {"-start"}, kStart, kKept, kKept},
        CWalkCase{"AccountSeparate", {"-l", "alice"}, kRun, "alice", kKept},
        CWalkCase{"AccountJoined", {"-lalice"}, kRun, "alice", kKept},
        CWalkCase{"PasswordJoined", {"-psecret", "-i"}, kInstall, kKept, "secret"},
        CWalkCase{"ValueIsNotAnOption", {"-l", "-i"}, kRun, "-i", kKept},
        CWalkCase{"EmptyValueIsNotNull", {"-l", ""}, kRun, "", kKept},
        CWalkCase{"TrailingPasswordIsNull", {"-i", "-p"}, kInstall, kKept, NULL},
        CWalkCase{"TrailingAccountIsNull", {"-u", "-l"}, kUninstall, NULL, kKept},
        CWalkCase{"AccountAfterInstall", {"-i", "-l", "bob", "-p", "pw"}, kInstall, "bob", "pw"},
        CWalkCase{"AccountWithoutInstall", {"-l", "bob", "-p", "pw"}, kRun, "bob", "pw"},
        CWalkCase{"LaterValueWins", {"-p", "one", "-i", "-ptwo"}, kInstall, kKept, "two"},
        CWalkCase{"WalkGoesOnAfterValue", {"-l", "x", "-e"}, kStop, "x", kKept},
        CWalkCase{"StopsAtArgc", {"-i", "-u"}, kInstall, kKept, kKept, 2},
        CWalkCase{"ValueNotTakenBeyondArgc", {"-l", "bob"}, kRun, NULL, kKept, 2}),
    CRowName());

} // namespace
