// The option walk over command lines where one character or one position
// decides the outcome.
#include "OptionWalk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kAccount[] = "initial account";
const char kPassword[] = "initial password";
const char kKept[] = "<kept>"; // the field keeps its value from before the walk

typedef ECommandAction A;

struct WalkRow {
    const char* label;
    std::vector<std::string> args; // after the program path
    A action;
    const char* account; // null: set to null
    const char* password;
    int argc; // 0: every argument
};

const WalkRow kRows[] = {
    {"NoArguments", {}, A::RunAsService, kKept, kKept, 0},
    {"LastActionWins", {"-s", "-i", "-e"}, A::StopInstalled, kKept, kKept, 0},
    {"OnlySecondCharacterCounts", {"-stop", "--i"}, A::StartInstalled, kKept, kKept, 0},
    {"UnknownAndUppercaseIgnored", {"-x", "-I", "-U"}, A::RunAsService, kKept, kKept, 0},
    {"LoneHyphen", {"-"}, A::RunAsService, kKept, kKept, 0},
    {"NoHyphenIgnored", {"-u", "i", "/s", "l", ""}, A::Uninstall, kKept, kKept, 0},
    {"JoinedValue", {"-lname"}, A::RunAsService, "name", kKept, 0},
    {"ValueIsNotAnOption", {"-l", "-i"}, A::RunAsService, "-i", kKept, 0},
    {"WalkGoesOnAfterValue", {"-p", "pw", "-e"}, A::StopInstalled, kKept, "pw", 0},
    {"EmptyValueIsNotNull", {"-p", "", "-u"}, A::Uninstall, kKept, "", 0},
    {"LaterValueWins", {"-l", "one", "-ltwo"}, A::RunAsService, "two", kKept, 0},
    {"TrailingAccountIsNull", {"-u", "-l"}, A::Uninstall, nullptr, kKept, 0},
    {"TrailingPasswordIsNull", {"-i", "-lbob", "-p"}, A::Install, "bob", nullptr, 0},
    {"TrailingWithinArgcEndsWalk", {"-l", "-i"}, A::RunAsService, nullptr, kKept, 2},
};

// The field's value, which must point into the argument strings (no copy).
void ExpectField(const char* expected, const char* initial, const char* actual,
                 const std::vector<std::string>& args) {
    if (expected == kKept || expected == nullptr) {
        EXPECT_EQ(expected == kKept ? initial : nullptr, actual);
        return;
    }
    ASSERT_NE(nullptr, actual);
    EXPECT_STREQ(expected, actual);
    bool inside = false;
    for (const std::string& arg : args)
        inside = inside || (actual >= arg.data() && actual <= arg.data() + arg.size());
    EXPECT_TRUE(inside);
}

TEST(WalkOptions, SelectsActionAndValues) {
    for (const WalkRow& row : kRows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "brisvel.exe");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        int argc = row.argc != 0 ? row.argc : static_cast<int>(args.size());

        CCommandOptions options = WalkOptions(argc, argv.data(), kAccount, kPassword);
        EXPECT_EQ(row.action, options.m_action);
        ExpectField(row.account, kAccount, options.m_accountName, args);
        ExpectField(row.password, kPassword, options.m_password, args);
    }
}

} // namespace
