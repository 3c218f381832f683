#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Fixture.h"
#include "NTService.h"

namespace {

// Overrides every action so the test sees which one ran; each returns its
// own code so the result is seen to pass through unchanged.
class CActionProbe : public CNTService {
public:
    CActionProbe() : CNTService("Probe", NULL) {}
    BOOL Execute(DWORD, LPSTR*) override { return TRUE; }
    BOOL OnStop() override { return TRUE; }
    BOOL RunAsService() override { return Ran("RunAsService", 11); }
    BOOL Install() override { return Ran("Install", 12); }
    BOOL Uninstall() override { return Ran("Uninstall", 13); }
    BOOL StartInstalled() override { return Ran("StartInstalled", 14); }
    BOOL StopInstalled() override { return Ran("StopInstalled", 15); }

    std::vector<std::string> m_ran;

private:
    BOOL Ran(const char* action, BOOL result) {
        m_ran.push_back(action);
        return result;
    }
};

struct CDispatchCase {
    std::vector<std::string> args;
    const char* action;
    int result;
};

void PrintTo(const CDispatchCase& row, std::ostream* out) {
    *out << row.action;
}

class HandleCommandLineTest : public CWinsimTest,
                              public ::testing::WithParamInterface<CDispatchCase> {};

TEST_P(HandleCommandLineTest, RunsTheSelectedOverrideOnce) {
    const CDispatchCase& c = GetParam();
    std::vector<std::string> storage = {"brisvel.exe"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(&s[0]);
    argv.push_back(NULL);
    CActionProbe service;

    EXPECT_EQ(c.result, service.HandleCommandLine(static_cast<int>(storage.size()), argv.data()));
    EXPECT_EQ(std::vector<std::string>{c.action}, service.m_ran);
}

INSTANTIATE_TEST_SUITE_P(Actions, HandleCommandLineTest,
                         ::testing::Values(CDispatchCase{{}, "RunAsService", 11},
                                           CDispatchCase{{"-i"}, "Install", 12},
                                           CDispatchCase{{"-u"}, "Uninstall", 13},
                                           CDispatchCase{{"-s"}, "StartInstalled", 14},
                                           CDispatchCase{{"-e"}, "StopInstalled", 15},
                                           CDispatchCase{{"-e", "-x"}, "StopInstalled", 15}),
                         [](const ::testing::TestParamInfo<CDispatchCase>& info) {
                             return std::string(info.param.action) + std::to_string(info.index);
                         });

TEST_F(CWinsimTest, HandleCommandLineStoresAccountAndPasswordInTheArguments) {
    char path[] = "brisvel.exe", l[] = "-l", account[] = "alice", p[] = "-psecret", i[] = "-i";
    char* argv[] = {path, l, account, p, i, NULL};
    CActionProbe service;

    EXPECT_EQ(12, service.HandleCommandLine(5, argv));
    EXPECT_EQ(account, service.m_accountName);
    EXPECT_EQ(p + 2, service.m_password);
}

// ---------------------------------------------------------------- OpenConsole

const DWORD kStdHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

// Whether each of descriptors 0, 1, 2 was rebound to its standard handle
// in text mode (and to nothing else).
void ExpectBound(bool in, bool out, bool err) {
    bool expected[3] = {in, out, err};
    for (int fd = 0; fd < 3; ++fd) {
        std::optional<winsim::Binding> binding = winsim::streamBinding(fd);
        ASSERT_EQ(expected[fd], binding.has_value()) << "descriptor " << fd;
        if (binding) {
            EXPECT_EQ(winsim::stdHandle(kStdHandles[fd]), binding->handle) << "descriptor " << fd;
            EXPECT_TRUE(binding->textMode) << "descriptor " << fd;
        }
    }
}

TEST_F(CWinsimTest, OpenConsoleAllocatesAndBindsAllThreeStreamsOnce) {
    winsim::setHasConsole(false);
    CActionProbe service;

    service.OpenConsole();
    EXPECT_TRUE(winsim::consoleAllocated());
    ExpectBound(true, true, true);
    EXPECT_EQ(1, service.m_consoleOpened);

    std::size_t callsAfterFirst = winsim::calls().size();
    service.OpenConsole();
    EXPECT_EQ(callsAfterFirst, winsim::calls().size());
    EXPECT_EQ(1u, winsim::callCount("AllocConsole"));
    ExpectBound(true, true, true);
}

TEST_F(CWinsimTest, OpenConsoleKeepsTheConsoleTheProcessHas) {
    CActionProbe service; // the default process already has a console
    HANDLE redirectedOut = winsim::stdHandle(STD_OUTPUT_HANDLE);

    service.OpenConsole();

    EXPECT_FALSE(winsim::consoleAllocated());
    ASSERT_TRUE(winsim::streamBinding(1).has_value());
    EXPECT_EQ(redirectedOut, winsim::streamBinding(1)->handle);
    ExpectBound(true, true, true);
}

struct CStreamFault {
    const char* name;
    DWORD invalidHandle; // 0: none
    const char* failing; // the function whose nth call fails
    unsigned nth;
    bool in, out, err;
};

void PrintTo(const CStreamFault& row, std::ostream* out) {
    *out << row.name;
}

class OpenConsoleFaultTest : public CWinsimTest,
                             public ::testing::WithParamInterface<CStreamFault> {};

TEST_P(OpenConsoleFaultTest, AStreamThatCannotBeBoundKeepsItsBinding) {
    const CStreamFault& c = GetParam();
    if (c.invalidHandle != 0)
        winsim::setStdHandleInvalid(c.invalidHandle, true);
    if (c.failing != NULL)
        winsim::failCall(c.failing, ERROR_INVALID_HANDLE, c.nth);
    CActionProbe service;

    service.OpenConsole();

    ExpectBound(c.in, c.out, c.err);
    EXPECT_EQ(1, service.m_consoleOpened);
}

// The streams are bound in the order stdout, stderr, stdin, so the nth call
// of a runtime function belongs to the nth of those.
INSTANTIATE_TEST_SUITE_P(
    Faults, OpenConsoleFaultTest,
    ::testing::Values(CStreamFault{"NoOutputHandle", STD_OUTPUT_HANDLE, NULL, 0, true, false, true},
                      CStreamFault{"NoErrorHandle", STD_ERROR_HANDLE, NULL, 0, true, true, false},
                      CStreamFault{"NoInputHandle", STD_INPUT_HANDLE, NULL, 0, false, true, true},
                      CStreamFault{"NoOutputDescriptor", 0, "_open_osfhandle", 1, true, false,
                                   true},
                      CStreamFault{"NoErrorDescriptor", 0, "_open_osfhandle", 2, true, true, false},
                      CStreamFault{"NoInputStream", 0, "_fdopen", 3, false, true, true},
                      CStreamFault{"NoErrorStream", 0, "_fdopen", 2, true, true, false}),
    CRowName());

} // namespace
