// The kernel behaviour the product relies on: manual-reset events and waits
// with time-outs, named file mappings, system messages, the module file
// name, version information and Windows Sockets start-up.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD kPoison = 0xDEADBEEF;

TEST(Events, ManualResetEventStaysSetUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 10));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0)) << "a manual-reset event stays set";
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, WaitOnANullHandleFailsAtOnce) {
    SetLastError(kPoison);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 50));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

DWORD WINAPI setLater(LPVOID param) {
    Sleep(20);
    SetEvent(static_cast<HANDLE>(param));
    return 7;
}

TEST(Threads, ThreadRunsAndItsHandleIsSignalledWhenItEnds) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    HANDLE thread = CreateThread(nullptr, 0, setLater, event, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(Mappings, MissingSectionIsFileNotFound) {
    SetLastError(kPoison);
    EXPECT_EQ(nullptr, OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Absent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(Mappings, SectionCreatedElsewhereIsSeenWithItsBytesThroughAFullAccessView) {
    HANDLE created = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2,
                                        "BrisvelContract_Flag");
    ASSERT_NE(nullptr, created);
    char* writer = static_cast<char*>(MapViewOfFile(created, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(nullptr, writer);
    writer[0] = '1';
    writer[1] = '\0';

    HANDLE opened = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Flag");
    ASSERT_NE(nullptr, opened);
    const char* reader =
        static_cast<const char*>(MapViewOfFile(opened, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(nullptr, reader);
    EXPECT_NE(static_cast<const void*>(writer), static_cast<const void*>(reader));
    EXPECT_STREQ("1", reader);
    writer[0] = '0';
    EXPECT_EQ('0', reader[0]) << "views of one section share their bytes";
    // A section is at least a page: the bytes after its size read as zero.
    EXPECT_EQ(0, reader[2]);
    EXPECT_EQ(0, reader[4095]);

    EXPECT_TRUE(UnmapViewOfFile(reader));
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(UnmapViewOfFile(writer));
    EXPECT_TRUE(CloseHandle(created));
    EXPECT_EQ(nullptr, OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Flag"))
        << "the section ends with its last handle and view";
}

TEST(Mappings, CreatingAnExistingSectionOpensItAndSaysSo) {
    HANDLE first = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16,
                                      "BrisvelContract_Twice");
    ASSERT_NE(nullptr, first);
    HANDLE second = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16,
                                       "BrisvelContract_Twice");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    CloseHandle(second);
    CloseHandle(first);
}

TEST(Messages, SystemTextEndsInCarriageReturnLineFeed) {
    for (DWORD code : {2u, 5u, 1056u, 1060u, 1062u, 1063u, 1073u}) {
        char* text = nullptr;
        DWORD length =
            FormatMessageA(0x3100, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_GT(length, 2u) << code;
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(length, std::strlen(text)) << code;
        EXPECT_EQ('\r', text[length - 2]) << code;
        EXPECT_EQ('\n', text[length - 1]) << code;
        EXPECT_EQ(nullptr, LocalFree(text));
    }
}

TEST(Messages, UnknownCodeFailsWithoutAllocating) {
    char* text = nullptr;
    SetLastError(kPoison);
    EXPECT_EQ(0u, FormatMessageA(0x3100, nullptr, 0x2345678, 0, reinterpret_cast<LPSTR>(&text), 0,
                                 nullptr));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
}

TEST(Module, FileNameFitsOrIsCutToTheBuffer) {
    char full[1024];
    DWORD length = GetModuleFileNameA(nullptr, full, sizeof(full));
    ASSERT_GT(length, 4u);
    EXPECT_EQ(length, std::strlen(full));

    char small[4];
    std::memset(small, 'x', sizeof(small));
    SetLastError(kPoison);
    EXPECT_EQ(sizeof(small), GetModuleFileNameA(nullptr, small, sizeof(small)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(0, std::memcmp(small, full, 3));
}

TEST(Version, NtPlatformWithTheRecordSizeOf148) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = 148;
    ASSERT_EQ(148u, sizeof(info));
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
}

TEST(Sockets, StartupForVersionOneOneReportsIt) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(0x0101, &data));
    EXPECT_EQ(0x0101, data.wVersion);
    EXPECT_EQ(0, WSACleanup());
}

} // namespace
