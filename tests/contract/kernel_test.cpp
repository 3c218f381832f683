// The kernel behaviour the product relies on: manual-reset events and waits
// with time-outs, threads, system messages, the module file name, version
// information and Windows Sockets start-up.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "outcome.h"

namespace contract {
namespace {

SOutcome<BOOL> Succeeds() {
    return Outcome<BOOL>(TRUE, kPoison);
}

SOutcome<DWORD> Waits(DWORD result) {
    return Outcome<DWORD>(result, kPoison);
}

// ---------------------------------------------------------------- events and waits

TEST(Events, ManualResetEventStaysSetUntilReset) {
    auto created = POISONED(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), created.lastError) << "a new event clears it";
    HANDLE event = created.result;
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(Waits(WAIT_TIMEOUT), POISONED(WaitForSingleObject(event, 10)));
    EXPECT_EQ(Succeeds(), POISONED(SetEvent(event)));
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, 10)));
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, 0)))
        << "a manual-reset event stays set";
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, INFINITE)));
    EXPECT_EQ(Succeeds(), POISONED(SetEvent(event))) << "setting a set event";
    EXPECT_EQ(Succeeds(), POISONED(ResetEvent(event)));
    EXPECT_EQ(Waits(WAIT_TIMEOUT), POISONED(WaitForSingleObject(event, 0)));
    EXPECT_EQ(Succeeds(), POISONED(ResetEvent(event))) << "resetting a reset event";
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(event)));
}

TEST(Events, EventCreatedSetIsSignalledAtOnce) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, 0)));
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, 0)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(event)));
}

TEST(Events, TimedOutWaitLastsItsTimeOut) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    DWORD start = GetTickCount();
    EXPECT_EQ(Waits(WAIT_TIMEOUT), POISONED(WaitForSingleObject(event, 100)));
    DWORD elapsed = GetTickCount() - start;
    // Windows counts in ticks of about 15.6 ms; allow one tick short.
    EXPECT_GE(elapsed, 84u);
    EXPECT_LT(elapsed, 1000u);
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(event)));
}

TEST(Events, WaitOnANullHandleFailsAtOnce) {
    EXPECT_EQ(Outcome<DWORD>(WAIT_FAILED, ERROR_INVALID_HANDLE),
              POISONED(WaitForSingleObject(nullptr, 50)));
}

struct SignalLater {
    HANDLE event;
    DWORD delayMs;
};

DWORD WINAPI SetAfterDelay(LPVOID param) {
    const SignalLater* signal = static_cast<const SignalLater*>(param);
    Sleep(signal->delayMs);
    SetEvent(signal->event);
    return 7;
}

TEST(Events, WaitEndsWhenAnotherThreadSetsTheEventBeforeTheTimeOut) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    SignalLater signal = {event, 30};
    HANDLE thread = CreateThread(nullptr, 0, SetAfterDelay, &signal, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    DWORD start = GetTickCount();
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, 5000)));
    EXPECT_LT(GetTickCount() - start, 4000u) << "the wait ended with the event, not the time-out";
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(thread, 5000)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(thread)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(event)));
}

// ---------------------------------------------------------------- threads

TEST(Threads, ThreadHandleIsSignalledWhenTheThreadEnds) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    SignalLater signal = {event, 20};
    auto created = POISONED(CreateThread(nullptr, 0, SetAfterDelay, &signal, 0, nullptr));
    EXPECT_EQ(kPoison, created.lastError);
    HANDLE thread = created.result;
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(event, INFINITE)));
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(thread, INFINITE)));
    EXPECT_EQ(Waits(WAIT_OBJECT_0), POISONED(WaitForSingleObject(thread, 0))) << "and stays so";
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(thread)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(event)));
}

TEST(Threads, SleepLastsAtLeastItsTime) {
    DWORD start = GetTickCount();
    SetLastError(kPoison);
    Sleep(60);
    EXPECT_EQ(kPoison, GetLastError());
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 44u);
    EXPECT_LT(elapsed, 1000u);
}

// ---------------------------------------------------------------- system messages

const DWORD kProductCodes[] = {2u,    5u,    6u,    87u,   1052u, 1053u, 1056u,
                               1058u, 1060u, 1061u, 1062u, 1063u, 1072u, 1073u};

TEST(Messages, SystemTextIsOneLineEndingInCarriageReturnLineFeed) {
    for (DWORD code : kProductCodes) {
        char* text = nullptr;
        auto formatted = POISONED(
            FormatMessageA(0x3100, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr));
        EXPECT_EQ(kPoison, formatted.lastError) << code;
        DWORD length = formatted.result;
        ASSERT_GT(length, 2u) << code;
        ASSERT_NE(nullptr, text) << code;
        EXPECT_EQ(length, std::strlen(text)) << code;
        std::string body(text, length - 2);
        EXPECT_EQ("\r\n", std::string(text + length - 2)) << code;
        EXPECT_EQ(std::string::npos, body.find_first_of("\r\n")) << code << ": " << body;
        EXPECT_EQ(Outcome<HLOCAL>(nullptr, kPoison), POISONED(LocalFree(text))) << code;
    }
}

TEST(Messages, UnknownCodeFailsWithoutAllocating) {
    char* text = nullptr;
    EXPECT_EQ(Outcome<DWORD>(0, ERROR_MR_MID_NOT_FOUND),
              POISONED(FormatMessageA(0x3100, nullptr, 0x2345678, 0, reinterpret_cast<LPSTR>(&text),
                                      0, nullptr)));
    EXPECT_EQ(nullptr, text);
}

// ---------------------------------------------------------------- the module file name

TEST(Module, FileNameIsAnAbsolutePathOfAnExecutable) {
    char full[MAX_PATH + 1];
    std::memset(full, 'x', sizeof full);
    auto got = POISONED(GetModuleFileNameA(nullptr, full, sizeof full));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), got.lastError) << "a name that fits clears it";
    DWORD length = got.result;
    ASSERT_GT(length, 7u);
    ASSERT_LT(length, sizeof full);
    EXPECT_EQ(length, std::strlen(full));
    EXPECT_EQ(':', full[1]);
    EXPECT_EQ('\\', full[2]);
    std::string extension(full + length - 4);
    for (char& c : extension) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    EXPECT_EQ(".exe", extension);
}

struct BufferCase {
    const char* label;
    int sizeLessLength; // the buffer's size less the name's length
};

class ModuleBuffer : public ::testing::TestWithParam<BufferCase> {};

// A name that fits comes back with its terminator, and the last error is
// cleared. One that does not is cut to the buffer's size, without a
// terminator; the size comes back and the error is insufficient buffer.
TEST_P(ModuleBuffer, NameFitsWithItsTerminatorOrIsCutToTheBuffer) {
    char full[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, full, sizeof full);
    ASSERT_GT(length, 7u);
    DWORD size = static_cast<DWORD>(static_cast<int>(length) + GetParam().sizeLessLength);

    char buffer[MAX_PATH + 3];
    std::memset(buffer, 'x', sizeof buffer);
    auto got = POISONED(GetModuleFileNameA(nullptr, buffer, size));
    if (size > length) {
        EXPECT_EQ(Outcome<DWORD>(length, ERROR_SUCCESS), got);
        EXPECT_EQ(std::string(full, length + 1), std::string(buffer, length + 1));
    } else {
        EXPECT_EQ(Outcome<DWORD>(size, ERROR_INSUFFICIENT_BUFFER), got);
        EXPECT_EQ(std::string(full, size), std::string(buffer, size));
    }
    EXPECT_EQ('x', buffer[size]) << "nothing is written past the buffer";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ModuleBuffer,
                         ::testing::Values(BufferCase{"RoomForTheTerminator", 1},
                                           BufferCase{"NoRoomForTheTerminator", 0},
                                           BufferCase{"OneCharacterShort", -1}),
                         [](const ::testing::TestParamInfo<BufferCase>& info) {
                             return info.param.label;
                         });

TEST(Module, FourCharacterBuffer) {
    char full[MAX_PATH + 1];
    ASSERT_GT(GetModuleFileNameA(nullptr, full, sizeof full), 4u);
    char small[5];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(Outcome<DWORD>(4, ERROR_INSUFFICIENT_BUFFER),
              POISONED(GetModuleFileNameA(nullptr, small, 4)));
    EXPECT_EQ(std::string(full, 4), std::string(small, 4));
    EXPECT_EQ('x', small[4]);
}

// ---------------------------------------------------------------- version

TEST(Version, NtPlatformWithTheRecordSizeOf148) {
    OSVERSIONINFOA info;
    ASSERT_EQ(148u, sizeof(info));
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(Succeeds(), POISONED(GetVersionExA(&info)));
    EXPECT_EQ(148u, info.dwOSVersionInfoSize);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
    EXPECT_GE(info.dwMajorVersion, 5u);
    EXPECT_LT(std::strlen(info.szCSDVersion), sizeof info.szCSDVersion);
}

TEST(Version, RecordOfAnotherSizeIsRefused) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info) - 4;
    EXPECT_EQ(Outcome<BOOL>(FALSE, ERROR_INSUFFICIENT_BUFFER), POISONED(GetVersionExA(&info)));
}

// ---------------------------------------------------------------- sockets

TEST(Sockets, StartupForVersionOneOneReportsIt) {
    WSADATA data;
    std::memset(&data, 0xCC, sizeof data);
    ASSERT_EQ(Outcome<int>(0, kPoison), POISONED(WSAStartup(0x0101, &data)));
    EXPECT_EQ(0x0101, data.wVersion);
    EXPECT_EQ(0x0202, data.wHighVersion);
    EXPECT_EQ(Outcome<int>(0, kPoison), POISONED(WSACleanup()));
}

} // namespace
} // namespace contract
