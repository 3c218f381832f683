// The registry behaviour the product relies on: exact bytes and types, the
// size rules of RegQueryValueExA, and creating, opening and deleting keys.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kPoison = 0xDEADBEEF;
const char kBase[] = "Software\\BrisvelContract";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Child\\Grandchild");
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Child");
        RegDeleteKeyA(HKEY_CURRENT_USER, kBase);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, kBase, &m_key));
    }
    void TearDown() override {
        RegCloseKey(m_key);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Child\\Grandchild");
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Child");
        RegDeleteKeyA(HKEY_CURRENT_USER, kBase);
    }
    void set(const char* name, DWORD type, const std::vector<BYTE>& bytes) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, name, 0, type, bytes.data(),
                                                static_cast<DWORD>(bytes.size())));
    }
    HKEY m_key = nullptr;
};

struct ValueCase {
    const char* label;
    DWORD type;
    std::vector<BYTE> bytes;
};

class RegistryRoundTrip : public Registry, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegistryRoundTrip, ValueComesBackByteExactWithItsType) {
    const ValueCase& c = GetParam();
    set("Value", c.type, c.bytes);

    DWORD type = kPoison;
    DWORD size = kPoison;
    SetLastError(kPoison);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, "Value", nullptr, &type, nullptr, &size));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.bytes.size(), size) << "the size query gives the stored size";
    EXPECT_EQ(kPoison, GetLastError()) << "registry calls leave the last error alone";

    std::vector<BYTE> buffer(size + 8, 0xAA);
    DWORD offered = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(m_key, "Value", nullptr, &type, buffer.data(), &offered));
    EXPECT_EQ(c.bytes.size(), offered);
    EXPECT_EQ(c.bytes, std::vector<BYTE>(buffer.begin(), buffer.begin() + offered));
    EXPECT_EQ(0xAA, buffer[offered]) << "nothing is written past the value";
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegistryRoundTrip,
    ::testing::Values(ValueCase{"MultiSzTwoEntries", REG_MULTI_SZ, {'A', 0, 'B', 'c', 0, 0}},
                      ValueCase{"MultiSzEmptyList", REG_MULTI_SZ, {0}},
                      ValueCase{"MultiSzWithoutFinalEntry", REG_MULTI_SZ, {'A', 0, 'B', 0}},
                      ValueCase{"MultiSzLastEntryUnterminated", REG_MULTI_SZ, {'A', 0, 'B'}},
                      ValueCase{"SzList", REG_SZ, {'A', 0, 'B', 0, 0}},
                      ValueCase{"ExpandSz", REG_EXPAND_SZ, {'C', ':', '\\', 'x', 0}},
                      ValueCase{"Dword", REG_DWORD, {7, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.label; });

TEST_F(Registry, ShortBufferGivesMoreDataAndTheStoredSize) {
    set("Value", REG_MULTI_SZ, {'A', 'B', 0, 0});
    BYTE buffer[3] = {0xAA, 0xAA, 0xAA};
    DWORD size = sizeof(buffer);
    DWORD type = kPoison;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(m_key, "Value", nullptr, &type, buffer, &size));
    EXPECT_EQ(4u, size);
}

TEST_F(Registry, MissingValueIsFileNotFound) {
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(m_key, "Absent", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(m_key, "Absent"));
}

TEST_F(Registry, ValueNamesIgnoreLetterCase) {
    set("Sources", REG_MULTI_SZ, {0});
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, "SOURCES", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(1u, size);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(m_key, "sources"));
}

TEST_F(Registry, KeysOpenInAnyLetterCaseAndWithATrailingBackslash) {
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(m_key, "Child", &child));
    RegCloseKey(child);
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\brisvelcontract\\CHILD\\",
                                           0, KEY_ALL_ACCESS, &opened));
    RegCloseKey(opened);
}

TEST_F(Registry, OpeningAMissingKeyIsFileNotFound) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(kPoison));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\BrisvelContract\\Absent", 0,
                            KEY_ALL_ACCESS, &key));
}

TEST_F(Registry, DeletingAKeyWithSubkeysIsRefusedAndAMissingKeyIsNotFound) {
    HKEY grandchild = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(m_key, "Child\\Grandchild", &grandchild));
    RegCloseKey(grandchild);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(m_key, "Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(m_key, "Child\\Grandchild"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(m_key, "Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(m_key, "Child"));
}

} // namespace
