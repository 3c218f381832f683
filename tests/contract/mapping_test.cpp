// Named file mappings as the liveness monitor relies on them: a missing
// section, a section another process created and holds, its contents, and
// views with full access.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_service.h"

namespace contract {
namespace {

SOutcome<BOOL> Succeeds() {
    return Outcome<BOOL>(TRUE, kPoison);
}

SOutcome<HANDLE> NotFound() {
    return Outcome<HANDLE>(nullptr, ERROR_FILE_NOT_FOUND);
}

TEST(Mappings, MissingSectionIsFileNotFound) {
    EXPECT_EQ(NotFound(),
              POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Absent")));
}

TEST(Mappings, SectionCreatedHereIsSeenWithItsBytesThroughAFullAccessView) {
    auto create = POISONED(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2,
                                              "BrisvelContract_Flag"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), create.lastError) << "a new section clears it";
    HANDLE created = create.result;
    ASSERT_NE(nullptr, created);
    auto map = POISONED(MapViewOfFile(created, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    EXPECT_EQ(kPoison, map.lastError);
    char* writer = static_cast<char*>(map.result);
    ASSERT_NE(nullptr, writer);
    writer[0] = '1';
    writer[1] = '\0';

    auto open = POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Flag"));
    EXPECT_EQ(kPoison, open.lastError);
    HANDLE opened = open.result;
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

    EXPECT_EQ(Succeeds(), POISONED(UnmapViewOfFile(reader)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(opened)));
    EXPECT_EQ(Succeeds(), POISONED(UnmapViewOfFile(writer)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(created)));
    EXPECT_EQ(NotFound(),
              POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "BrisvelContract_Flag")))
        << "the section ends with its last handle and view";
}

TEST(Mappings, CreatingAnExistingSectionOpensItAndSaysSo) {
    HANDLE first = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16,
                                      "BrisvelContract_Twice");
    ASSERT_NE(nullptr, first);
    auto again = POISONED(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16,
                                             "BrisvelContract_Twice"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), again.lastError);
    ASSERT_NE(nullptr, again.result);
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(again.result)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(first)));
}

// The monitored software creates the section in its own process and keeps
// it while it runs; here the test service plays that process.
class MappingsOfAnotherProcess : public CServiceTest {};

TEST_F(MappingsOfAnotherProcess, SectionIsReadThroughAFullAccessViewAndOutlivesItsCreator) {
    const std::string name = "BrisvelContract_Live";
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0)));
    ASSERT_EQ(TRUE, Publish(name, std::string("1\0", 2)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Mailbox().error)
        << "the creator's CreateFileMappingA cleared the last error";

    auto open = POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
    EXPECT_EQ(kPoison, open.lastError);
    HANDLE section = open.result;
    ASSERT_NE(nullptr, section);
    auto map = POISONED(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    EXPECT_EQ(kPoison, map.lastError);
    char* view = static_cast<char*>(map.result);
    ASSERT_NE(nullptr, view);
    EXPECT_EQ('1', view[0]);
    EXPECT_EQ('\0', view[1]);
    std::string rest(view + 2, view + 4096);
    EXPECT_EQ(std::string(4094, '\0'), rest) << "the rest of the page is zero";
    view[1] = 'x'; // the view is writable

    // The creator lets go; the section lives on through this process's
    // handle and view, and its name still finds it.
    ASSERT_EQ(TRUE, Withdraw());
    HANDLE again = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(again)));
    EXPECT_EQ('x', view[1]);

    EXPECT_EQ(Succeeds(), POISONED(UnmapViewOfFile(view)));
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(section)));
    EXPECT_EQ(NotFound(), POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())));
}

TEST_F(MappingsOfAnotherProcess, SectionEndsWithItsCreatorWhenNoOneElseHoldsIt) {
    const std::string name = "BrisvelContract_Gone";
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_NO_FATAL_FAILURE(Start(Status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0)));
    ASSERT_EQ(TRUE, Publish(name, "0"));
    HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(nullptr, section);
    EXPECT_EQ(Succeeds(), POISONED(CloseHandle(section)));

    ASSERT_EQ(TRUE, Withdraw());
    EXPECT_EQ(NotFound(), POISONED(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())));
}

} // namespace
} // namespace contract
