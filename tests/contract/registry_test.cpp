// The registry behaviour the product relies on: exact bytes and types, the
// size rules of RegQueryValueExA, and creating, opening and deleting keys.
// Registry functions return their error code and leave the last error
// alone, so every outcome below expects it untouched.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outcome.h"
#include "platform.h"

namespace contract {
namespace {

const char kBase[] = "Software\\BrisvelContract";

SOutcome<LONG> Returns(LONG code) {
    return Outcome<LONG>(code, kPoison);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveKeys();
        ASSERT_EQ(Returns(ERROR_SUCCESS),
                  POISONED(RegCreateKeyA(HKEY_CURRENT_USER, kBase, &m_key)));
    }
    void TearDown() override {
        RegCloseKey(m_key);
        RemoveKeys();
    }
    static void RemoveKeys() {
        for (const char* path : {"Software\\BrisvelContract\\Child\\Grandchild",
                                 "Software\\BrisvelContract\\Child", kBase}) {
            RegDeleteKeyA(HKEY_CURRENT_USER, path);
        }
    }
    // Stores a value from a buffer whose byte after the counted ones is
    // `after`: for text types the system looks at that byte.
    SOutcome<LONG> Set(const char* name, DWORD type, const std::vector<BYTE>& bytes,
                       BYTE after = 'Z') {
        std::vector<BYTE> buffer(bytes);
        buffer.push_back(after);
        return POISONED(
            RegSetValueExA(m_key, name, 0, type, buffer.data(), static_cast<DWORD>(bytes.size())));
    }
    HKEY m_key = nullptr;
};

struct ValueCase {
    const char* label;
    DWORD type;
    std::vector<BYTE> bytes; // counted
    BYTE after;              // the byte after them in the caller's buffer
    std::vector<BYTE> stored;
    // Whether reading it into a larger buffer puts a zero after the value.
    bool terminated;
};

class RegistryRoundTrip : public Registry, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegistryRoundTrip, ValueComesBackByteExactWithItsType) {
    const ValueCase& c = GetParam();
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", c.type, c.bytes, c.after));

    DWORD type = kPoison;
    DWORD size = kPoison;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, &type, nullptr, &size)));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.stored.size(), size) << "the size query gives the stored size";

    std::vector<BYTE> buffer(c.stored.size() + 8, 0xAA);
    DWORD offered = static_cast<DWORD>(buffer.size());
    type = kPoison;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, &type, buffer.data(), &offered)));
    EXPECT_EQ(c.type, type);
    ASSERT_EQ(c.stored.size(), offered);
    EXPECT_EQ(c.stored, std::vector<BYTE>(buffer.begin(), buffer.begin() + offered));
    EXPECT_EQ(c.terminated ? 0 : 0xAA, buffer[offered]) << "the byte after the value";
    EXPECT_EQ(0xAA, buffer[offered + 1]);
}

// A text value whose last counted byte is not zero but whose next byte is
// gets that zero stored too: the caller left the terminator out of the
// count. A text stored without its terminator gets one when it is read into
// a buffer with room for it, outside the size returned.
INSTANTIATE_TEST_SUITE_P(
    Values, RegistryRoundTrip,
    ::testing::Values(
        ValueCase{"MultiSzTwoEntries",
                  REG_MULTI_SZ,
                  {'A', 0, 'B', 'c', 0, 0},
                  0,
                  {'A', 0, 'B', 'c', 0, 0},
                  false},
        ValueCase{"MultiSzEmptyList", REG_MULTI_SZ, {0}, 0, {0}, false},
        ValueCase{
            "MultiSzWithoutFinalEntry", REG_MULTI_SZ, {'A', 0, 'B', 0}, 0, {'A', 0, 'B', 0}, false},
        ValueCase{
            "MultiSzLastEntryUnterminated", REG_MULTI_SZ, {'A', 0, 'B'}, 'Z', {'A', 0, 'B'}, true},
        ValueCase{"MultiSzTerminatorOutsideTheCount",
                  REG_MULTI_SZ,
                  {'A', 0, 'B'},
                  0,
                  {'A', 0, 'B', 0},
                  false},
        ValueCase{"MultiSzNoBytes", REG_MULTI_SZ, {}, 0, {}, false},
        ValueCase{"SzList", REG_SZ, {'A', 0, 'B', 0, 0}, 0, {'A', 0, 'B', 0, 0}, false},
        ValueCase{"SzNoBytes", REG_SZ, {}, 0, {}, false},
        ValueCase{"SzWithoutTerminator", REG_SZ, {'a', 'b', 'c'}, 'Z', {'a', 'b', 'c'}, true},
        ValueCase{
            "SzTerminatorOutsideTheCount", REG_SZ, {'a', 'b', 'c'}, 0, {'a', 'b', 'c', 0}, false},
        ValueCase{"ExpandSz",
                  REG_EXPAND_SZ,
                  {'C', ':', '\\', 'x', 0},
                  0,
                  {'C', ':', '\\', 'x', 0},
                  false},
        ValueCase{"ExpandSzTerminatorOutsideTheCount",
                  REG_EXPAND_SZ,
                  {'C', ':'},
                  0,
                  {'C', ':', 0},
                  false},
        ValueCase{"BinaryNeverGrows", REG_BINARY, {1, 2, 3}, 0, {1, 2, 3}, false},
        ValueCase{"Dword", REG_DWORD, {7, 0, 0, 0}, 0, {7, 0, 0, 0}, false},
        ValueCase{"DwordNeverGrows", REG_DWORD, {1, 2, 3, 4}, 0, {1, 2, 3, 4}, false}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.label; });

struct BufferCase {
    const char* label;
    DWORD offered;
    bool withBuffer;
    LONG result;
};

class RegistryBuffer : public Registry, public ::testing::WithParamInterface<BufferCase> {};

// The size rules: with no buffer, or one too small, the call gives the
// stored size (and the type); a buffer too small is more data.
TEST_P(RegistryBuffer, SizeComesBackWhateverTheBuffer) {
    const BufferCase& c = GetParam();
    const std::vector<BYTE> stored = {'A', 'B', 0, 'C', 0, 0};
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", REG_MULTI_SZ, stored));

    std::vector<BYTE> buffer(16, 0xAA);
    DWORD size = c.offered;
    DWORD type = kPoison;
    EXPECT_EQ(Returns(c.result),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, &type,
                                        c.withBuffer ? buffer.data() : nullptr, &size)));
    EXPECT_EQ(stored.size(), size);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    if (c.result == ERROR_SUCCESS && c.withBuffer) {
        EXPECT_EQ(stored, std::vector<BYTE>(buffer.begin(), buffer.begin() + size));
    }
    EXPECT_EQ(0xAA, buffer[15]);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RegistryBuffer,
                         ::testing::Values(BufferCase{"NoBufferNoSize", 0, false, ERROR_SUCCESS},
                                           BufferCase{"NoBufferAnySize", 3, false, ERROR_SUCCESS},
                                           BufferCase{"EmptyBuffer", 0, true, ERROR_MORE_DATA},
                                           BufferCase{"OneByteShort", 5, true, ERROR_MORE_DATA},
                                           BufferCase{"ExactBuffer", 6, true, ERROR_SUCCESS},
                                           BufferCase{"LargerBuffer", 15, true, ERROR_SUCCESS}),
                         [](const ::testing::TestParamInfo<BufferCase>& info) {
                             return info.param.label;
                         });

TEST_F(Registry, UnterminatedTextGetsNoTerminatorWithoutRoomForIt) {
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", REG_SZ, {'a', 'b', 'c'}));
    BYTE buffer[5] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    DWORD size = 3;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, nullptr, buffer, &size)));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(std::vector<BYTE>({'a', 'b', 'c', 0xAA, 0xAA}),
              std::vector<BYTE>(buffer, buffer + sizeof buffer));
}

TEST_F(Registry, SizeQueryWithoutATypeGivesTheSize) {
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", REG_SZ, {'x', 'y', 0}));
    DWORD size = 0;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, nullptr, nullptr, &size)));
    EXPECT_EQ(3u, size);
}

TEST_F(Registry, MissingValueIsFileNotFound) {
    DWORD size = kPoison;
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND),
              POISONED(RegQueryValueExA(m_key, "Absent", nullptr, nullptr, nullptr, &size)));
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND), POISONED(RegDeleteValueA(m_key, "Absent")));
}

TEST_F(Registry, ValueIsReplacedAndDeleted) {
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", REG_SZ, {'o', 'l', 'd', 0}));
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Value", REG_MULTI_SZ, {'n', 0, 0}));
    DWORD type = kPoison;
    DWORD size = 0;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, &type, nullptr, &size)));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegDeleteValueA(m_key, "Value")));
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND),
              POISONED(RegQueryValueExA(m_key, "Value", nullptr, nullptr, nullptr, &size)));
}

TEST_F(Registry, ValueNamesIgnoreLetterCase) {
    ASSERT_EQ(Returns(ERROR_SUCCESS), Set("Sources", REG_MULTI_SZ, {0}));
    DWORD size = 0;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(m_key, "SOURCES", nullptr, nullptr, nullptr, &size)));
    EXPECT_EQ(1u, size);
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegDeleteValueA(m_key, "sources")));
}

TEST_F(Registry, CreatingAnExistingKeyOpensItWithItsValues) {
    HKEY child = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCreateKeyA(m_key, "Child", &child)));
    const DWORD five = 5;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegSetValueExA(child, "Kept", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&five), sizeof five)));
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCloseKey(child)));

    HKEY again = nullptr;
    ASSERT_EQ(
        Returns(ERROR_SUCCESS),
        POISONED(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Child", &again)));
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(again, "Kept", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&value), &size)));
    EXPECT_EQ(5u, value);
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCloseKey(again)));
}

TEST_F(Registry, KeysOpenInAnyLetterCaseAndWithATrailingBackslash) {
    HKEY child = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCreateKeyA(m_key, "Child", &child)));
    RegCloseKey(child);
    HKEY opened = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\brisvelcontract\\CHILD\\", 0,
                                     KEY_ALL_ACCESS, &opened)));
    RegCloseKey(opened);
}

TEST_F(Registry, OpeningAMissingKeyIsFileNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND),
              POISONED(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Absent", 0,
                                     KEY_ALL_ACCESS, &key)));
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND),
              POISONED(RegOpenKeyExA(m_key, "Absent\\Deeper", 0, KEY_ALL_ACCESS, &key)));
}

TEST_F(Registry, DeletingAKeyWithSubkeysIsRefusedAndAMissingKeyIsNotFound) {
    HKEY grandchild = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegCreateKeyA(m_key, "Child\\Grandchild", &grandchild)));
    RegCloseKey(grandchild);
    EXPECT_EQ(Returns(ERROR_ACCESS_DENIED), POISONED(RegDeleteKeyA(m_key, "Child")));
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegDeleteKeyA(m_key, "Child\\Grandchild")));
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegDeleteKeyA(m_key, "Child")));
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND), POISONED(RegDeleteKeyA(m_key, "Child")));
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND), POISONED(RegDeleteKeyA(m_key, "Absent\\Deeper")));
}

TEST_F(Registry, DeniedKeyCannotBeOpenedCreatedBelowOrDeleted) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine denies no registry access: every key is open to every user";
    }
    HKEY child = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCreateKeyA(m_key, "Child", &child)));
    RegCloseKey(child);
    SetRegistryAccessDenied("Software\\BrisvelContract\\Child", true);

    HKEY key = nullptr;
    EXPECT_EQ(Returns(ERROR_ACCESS_DENIED),
              POISONED(RegOpenKeyExA(m_key, "Child", 0, KEY_ALL_ACCESS, &key)));
    EXPECT_EQ(Returns(ERROR_ACCESS_DENIED),
              POISONED(RegCreateKeyA(m_key, "Child\\Grandchild", &key)));
    EXPECT_EQ(Returns(ERROR_ACCESS_DENIED), POISONED(RegDeleteKeyA(m_key, "Child")));

    SetRegistryAccessDenied("Software\\BrisvelContract\\Child", false);
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegDeleteKeyA(m_key, "Child")));
}

// The event log's keys as a fresh installation has them: the product adds
// its source to the Application log's list, which does not exist yet.
TEST(RegistryMachine, ApplicationLogHasNoSourcesListAndTheSystemLogAnEmptyOne) {
    HKEY application = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                     "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
                                     0, KEY_ALL_ACCESS, &application)));
    DWORD size = kPoison;
    EXPECT_EQ(Returns(ERROR_FILE_NOT_FOUND),
              POISONED(RegQueryValueExA(application, "Sources", nullptr, nullptr, nullptr, &size)));
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCloseKey(application)));

    HKEY system = nullptr;
    ASSERT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                     "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", 0,
                                     KEY_ALL_ACCESS, &system)));
    BYTE bytes[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    DWORD type = kPoison;
    size = sizeof bytes;
    EXPECT_EQ(Returns(ERROR_SUCCESS),
              POISONED(RegQueryValueExA(system, "Sources", nullptr, &type, bytes, &size)));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(0, bytes[0]);
    EXPECT_EQ(0xAA, bytes[1]);
    EXPECT_EQ(Returns(ERROR_SUCCESS), POISONED(RegCloseKey(system)));
}

} // namespace
} // namespace contract
