#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <utility>

#include "Fixture.h"
#include "Handles.h"

namespace {

HANDLE NewEvent() {
    return CreateEventA(NULL, TRUE, FALSE, NULL);
}

TEST_F(CWinsimTest, MovedOwnersCloseEachHandleOnce) {
    {
        CHandle first(NewEvent());
        CHandle second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_TRUE(second.valid());

        CHandle third(NewEvent());
        third = std::move(second); // releases the event third held
        EXPECT_EQ(1u, winsim::openHandles(winsim::Kind::Event));
    }
    EXPECT_EQ(0u, winsim::openHandles());
    EXPECT_EQ(2u, winsim::callCount("CloseHandle"));
}

TEST_F(CWinsimTest, ClosingKeepsTheLastError) {
    {
        CHandle event(NewEvent());
        winsim::failCall("CloseHandle", ERROR_INVALID_HANDLE);
        SetLastError(ERROR_SERVICE_DISABLED);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DISABLED), GetLastError());
    EXPECT_EQ(1u, winsim::callCount("CloseHandle"));
}

TEST_F(CWinsimTest, KeyCloseReturnsTheRegistryCode) {
    winsim::regCreateKey("Software\\Brisvel");
    CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brisvel", 0, KEY_READ, key.receive()));
    EXPECT_EQ(ERROR_SUCCESS, key.close());
    EXPECT_FALSE(key.valid());
    EXPECT_EQ(ERROR_SUCCESS, key.close()); // nothing held: no second close
    EXPECT_EQ(1u, winsim::callCount("RegCloseKey"));
    EXPECT_EQ(0u, winsim::openHandles());

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brisvel", 0, KEY_READ, key.receive()));
    winsim::failCall("RegCloseKey", ERROR_ACCESS_DENIED, 2);
    EXPECT_EQ(ERROR_ACCESS_DENIED, key.close());
}

} // namespace
