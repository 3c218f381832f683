// Registering and unregistering the event source end to end on the
// simulated registry: the source key's values, the exact bytes and type of
// the "Sources" list, the results, and every key and block closed.
#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

namespace {

using namespace std::string_literals;

typedef std::vector<BYTE> Bytes;

const char kServiceName[] = "Ondrimar";
const char kApplicationKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ondrimar";
const char kMessageFile[] = "C:\\Program Files\\Brisvel Test\\brisvel.exe";

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes DwordBytes(DWORD value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return Bytes(p, p + sizeof(value));
}

class CSourceProbe : public CNTService {
public:
    explicit CSourceProbe(LPCSTR name = kServiceName) : CNTService(name, NULL) {}
    BOOL Execute(DWORD, LPSTR*) override { return TRUE; }
    BOOL OnStop() override { return TRUE; }
};

enum EOperation { kAdd, kRemove };

// Runs one operation on a fresh object, with standard output captured: the
// operations must print nothing. The object is gone when this returns, so
// every handle left is one the operation leaked.
LONG RunOperation(EOperation operation, LPCSTR name = kServiceName) {
    ::testing::internal::CaptureStdout();
    LONG result;
    {
        CSourceProbe service(name);
        winsim::clearCalls();
        result = operation == kAdd ? service.AddEventSource(kMessageFile, 7)
                                   : service.RemoveEventSource();
    }
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_TRUE(winsim::eventLog().empty());
    return result;
}

void SetSources(const winsim::RegValue& value) {
    winsim::regSetValue(kApplicationKey, "Sources", value.type, value.bytes);
}

std::optional<winsim::RegValue> Sources() {
    return winsim::regValue(kApplicationKey, "Sources");
}

// A value as text, so a mismatch shows its type and every byte.
std::string Describe(const std::optional<winsim::RegValue>& value) {
    if (!value)
        return "(none)";
    std::string text = "type " + std::to_string(value->type) + ": ";
    for (BYTE b : value->bytes)
        text += b == 0 ? std::string("\\0") : std::string(1, static_cast<char>(b));
    return text + " (" + std::to_string(value->bytes.size()) + " bytes)";
}

void ExpectSourceKeyValues() {
    auto file = winsim::regValue(kSourceKey, "EventMessageFile");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), file->type);
    EXPECT_EQ(B(kMessageFile + "\0"s), file->bytes);
    auto types = winsim::regValue(kSourceKey, "TypesSupported");
    ASSERT_TRUE(types.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), types->type);
    EXPECT_EQ(DwordBytes(7), types->bytes);
}

// ---------------------------------------------------------------- the list

struct CListCase {
    const char* name;
    EOperation operation;
    std::optional<winsim::RegValue> before; // none: no "Sources" value
    std::optional<winsim::RegValue> after;
    bool written;
};

void PrintTo(const CListCase& row, std::ostream* out) {
    *out << row.name;
}

winsim::RegValue Multi(const std::string& bytes) {
    return winsim::RegValue{REG_MULTI_SZ, B(bytes)};
}

winsim::RegValue Single(const std::string& bytes) {
    return winsim::RegValue{REG_SZ, B(bytes)};
}

class SourcesListTest : public CWinsimTest, public ::testing::WithParamInterface<CListCase> {};

TEST_P(SourcesListTest, EditsTheListInItsOwnType) {
    const CListCase& c = GetParam();
    if (c.before)
        SetSources(*c.before);
    if (c.operation == kRemove) {
        winsim::regSetValue(kSourceKey, "EventMessageFile", REG_EXPAND_SZ, B(kMessageFile + "\0"s));
        winsim::regSetValue(kSourceKey, "TypesSupported", REG_DWORD, DwordBytes(7));
    }

    EXPECT_EQ(ERROR_SUCCESS, RunOperation(c.operation));

    EXPECT_EQ(Describe(c.after), Describe(Sources()));
    // The source key's two values are written (or the key deleted) whatever
    // the list held.
    if (c.operation == kAdd) {
        ExpectSourceKeyValues();
        EXPECT_EQ(c.written ? 3u : 2u, winsim::callCount("RegSetValueExA"));
    } else {
        EXPECT_FALSE(winsim::regKeyExists(kSourceKey));
        EXPECT_TRUE(winsim::regKeyExists(kApplicationKey));
        EXPECT_EQ(c.written ? 1u : 0u, winsim::callCount("RegSetValueExA"));
    }
    EXPECT_EQ(0u, winsim::openHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SourcesListTest,
    ::testing::Values(
        CListCase{"AddToTwoEntries", kAdd, Multi("Alpha\0Beta\0\0"s),
                  Multi("Alpha\0Beta\0Ondrimar\0\0"s), true},
        CListCase{"AddToEmptyList", kAdd, Multi("\0"s), Multi("Ondrimar\0\0"s), true},
        CListCase{"AddWhenListed", kAdd, Multi("Alpha\0Ondrimar\0Beta\0\0"s),
                  Multi("Alpha\0Ondrimar\0Beta\0\0"s), false},
        CListCase{"AddWhenListedInOtherCase", kAdd, Multi("ONDRIMAR\0\0"s),
                  Multi("ONDRIMAR\0Ondrimar\0\0"s), true},
        CListCase{"AddBesideALongerName", kAdd, Multi("Ondrimar2\0\0"s),
                  Multi("Ondrimar2\0Ondrimar\0\0"s), true},
        CListCase{"AddWithoutFinalEmptyEntry", kAdd, Multi("Alpha\0Beta\0"s),
                  Multi("Alpha\0Beta\0Ondrimar\0"s), true},
        CListCase{"AddToRegSz", kAdd, Single("Alpha\0\0"s), Single("Alpha\0Ondrimar\0\0"s), true},
        CListCase{"AddWithoutList", kAdd, std::nullopt, std::nullopt, false},
        // A value of no bytes at all (found by fuzzing: reading it once made
        // the simulated registry copy from a null pointer).
        CListCase{"AddToValueOfNoBytes", kAdd, Multi(""s), Multi("Ondrimar\0\0"s), true},
        CListCase{"AddToUnterminatedLastEntry", kAdd, Multi("Alpha\0Beta"s),
                  Multi("Alpha\0Beta\0Ondrimar\0\0"s), true},
        CListCase{"RemoveOnlyEntry", kRemove, Multi("Ondrimar\0\0"s), Multi("\0"s), true},
        CListCase{"RemoveListedTwice", kRemove, Multi("Ondrimar\0Alpha\0Ondrimar\0Beta\0\0"s),
                  Multi("Alpha\0Beta\0\0"s), true},
        CListCase{"RemoveKeepsOtherCase", kRemove, Multi("ONDRIMAR\0Ondrimar\0ondrimar\0\0"s),
                  Multi("ONDRIMAR\0ondrimar\0\0"s), true},
        CListCase{"RemoveNotListed", kRemove, Multi("Alpha\0Beta\0\0"s), Multi("Alpha\0Beta\0\0"s),
                  false},
        CListCase{"RemoveFromEmptyList", kRemove, Multi("\0"s), Multi("\0"s), false},
        CListCase{"RemoveFromRegSz", kRemove, Single("Alpha\0Ondrimar\0\0"s), Single("Alpha\0\0"s),
                  true},
        // A list without its final empty entry comes back with one.
        CListCase{"RemoveWithoutFinalEmptyEntry", kRemove, Multi("Alpha\0Ondrimar\0"s),
                  Multi("Alpha\0\0"s), true},
        CListCase{"RemoveFromValueOfNoBytes", kRemove, Multi(""s), Multi(""s), false},
        CListCase{"RemoveUnterminatedLastEntry", kRemove, Multi("Alpha\0Ondrimar"s),
                  Multi("Alpha\0\0"s), true},
        CListCase{"RemoveWithoutList", kRemove, std::nullopt, std::nullopt, false}),
    CRowName());

TEST_F(CWinsimTest, AddRewritesTheValuesOfAnExistingSourceKey) {
    winsim::regSetValue(kSourceKey, "EventMessageFile", REG_SZ, B("C:\\old\\brisvel.exe\0"s));
    winsim::regSetValue(kSourceKey, "TypesSupported", REG_DWORD, DwordBytes(1));

    EXPECT_EQ(ERROR_SUCCESS, RunOperation(kAdd));

    ExpectSourceKeyValues();
    EXPECT_EQ(0u, winsim::openHandles());
}

// The source key path holds at most 255 characters: 55 of the prefix and a
// name of at most 200.
TEST_F(CWinsimTest, NamesOfUpTo200CharactersAreRegistered) {
    const std::string longest(200, 'n');
    SetSources(Multi("Alpha\0\0"s));

    EXPECT_EQ(ERROR_SUCCESS, RunOperation(kAdd, longest.c_str()));
    const std::string key = std::string(kApplicationKey) + "\\" + longest;
    EXPECT_TRUE(winsim::regValue(key, "EventMessageFile").has_value());
    EXPECT_EQ(Describe(Multi("Alpha\0"s + longest + "\0\0"s)), Describe(Sources()));

    EXPECT_EQ(ERROR_SUCCESS, RunOperation(kRemove, longest.c_str()));
    EXPECT_FALSE(winsim::regKeyExists(key));
    EXPECT_EQ(Describe(Multi("Alpha\0\0"s)), Describe(Sources()));
    EXPECT_EQ(0u, winsim::openHandles());
}

TEST_F(CWinsimTest, LongerNamesAreRefusedWithoutTouchingTheRegistry) {
    const std::string tooLong(201, 'n');
    const winsim::RegValue listed = Multi("Alpha\0"s + tooLong + "\0\0"s);
    SetSources(listed);

    EXPECT_NE(ERROR_SUCCESS, RunOperation(kAdd, tooLong.c_str()));
    EXPECT_NE(ERROR_SUCCESS, RunOperation(kRemove, tooLong.c_str()));

    EXPECT_FALSE(winsim::regKeyExists(std::string(kApplicationKey) + "\\" + tooLong));
    EXPECT_EQ(Describe(listed), Describe(Sources()));
    EXPECT_EQ(0u, winsim::callCount("RegSetValueExA"));
    EXPECT_EQ(0u, winsim::openHandles());
}

// ---------------------------------------------------------------- failures

struct CFailureCase {
    const char* name;
    EOperation operation;
    std::function<void()> inject;
    LONG result;
    bool sourceKeyChanged; // written by Add, deleted by Remove
};

void PrintTo(const CFailureCase& row, std::ostream* out) {
    *out << row.name;
}

class SourceFailureTest : public CWinsimTest, public ::testing::WithParamInterface<CFailureCase> {};

TEST_P(SourceFailureTest, LeavesTheListAsItWasAndEveryKeyClosed) {
    const CFailureCase& c = GetParam();
    const winsim::RegValue before =
        c.operation == kAdd ? Multi("Alpha\0Beta\0\0"s) : Multi("Alpha\0Ondrimar\0Beta\0\0"s);
    SetSources(before);
    if (c.operation == kRemove)
        winsim::regSetValue(kSourceKey, "TypesSupported", REG_DWORD, DwordBytes(7));
    c.inject();

    EXPECT_EQ(c.result, RunOperation(c.operation));

    EXPECT_EQ(Describe(before), Describe(Sources()));
    if (c.operation == kAdd) {
        EXPECT_EQ(c.sourceKeyChanged, winsim::regValue(kSourceKey, "TypesSupported").has_value());
    } else {
        EXPECT_EQ(c.sourceKeyChanged, !winsim::regKeyExists(kSourceKey));
    }
    EXPECT_EQ(0u, winsim::openHandles());
}

void Deny() {
    winsim::regDenyAccess(kApplicationKey, true);
}

void NoBlock(unsigned nth) {
    winsim::failCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, nth);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SourceFailureTest,
    ::testing::Values(
        // Without rights to the Application key (and so to the keys below it).
        CFailureCase{"AddDenied", kAdd, Deny, ERROR_ACCESS_DENIED, false},
        CFailureCase{"RemoveDenied", kRemove, Deny, ERROR_ACCESS_DENIED, false},
        // A working block that cannot be had leaves the list as it was.
        CFailureCase{"AddNoBlock", kAdd, [] { NoBlock(1); }, ERROR_SUCCESS, true},
        CFailureCase{"RemoveNoOldListBlock", kRemove, [] { NoBlock(1); }, ERROR_SUCCESS, true},
        CFailureCase{"RemoveNoNewListBlock", kRemove, [] { NoBlock(2); }, ERROR_SUCCESS, true}),
    CRowName());

} // namespace
