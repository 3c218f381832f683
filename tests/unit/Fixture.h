// Shared test scaffolding: a fresh simulated machine per test, a thread that
// plays the process's main thread, and small helpers.
#pragma once

#include <windows.h>
#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LivenessMonitor.h"
#include "NTService.h"

// Every test starts on a fresh machine. At the end the simulated process is
// ended (its threads unwound and joined), a monitor handle left by a service
// run is closed, and the handle table must have seen no misuse.
class CWinsimTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override {
        winsim::endProcess();
        ReleaseMonitor(NULL);
        EXPECT_EQ(std::vector<std::string>(), winsim::handleErrors());
    }
};

// Names each row of a table test after its `name` field.
struct CRowName {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

// Polls `condition` until it holds or `timeoutMs` of real time have passed.
inline bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `body` on a thread of its own, as the main thread of the process:
// the dispatcher blocks it and delivers controls on it.
class CProcessMain {
public:
    explicit CProcessMain(std::function<int()> body)
        : m_finished(m_done.get_future()), m_thread([this, body] {
              m_result = body();
              m_done.set_value();
          }) {}

    ~CProcessMain() {
        if (m_thread.joinable()) {
            winsim::endProcess();
            m_thread.join();
        }
    }

    // Waits for the body to return. If it does not in time, the simulated
    // process is ended so the dispatcher returns, and the test fails.
    int join(unsigned timeoutMs = 20000) {
        if (m_finished.wait_for(std::chrono::milliseconds(timeoutMs)) !=
            std::future_status::ready) {
            ADD_FAILURE() << "the process's main thread did not return";
            winsim::endProcess();
        }
        m_thread.join();
        return m_result;
    }

private:
    std::promise<void> m_done;
    std::future<void> m_finished;
    int m_result = -1;
    std::thread m_thread;
};

// HandleCommandLine with no option: the service run.
inline int RunWithoutOptions(CNTService& service) {
    char path[] = "C:\\Brisvel\\brisvel.exe";
    char* argv[] = {path, NULL};
    return service.HandleCommandLine(1, argv);
}

// One status report as text, so a mismatch shows every field.
inline std::string Describe(const SERVICE_STATUS& s) {
    std::ostringstream out;
    out << "state " << s.dwCurrentState << ", accepts " << s.dwControlsAccepted << ", win32 "
        << s.dwWin32ExitCode << ", specific " << s.dwServiceSpecificExitCode << ", check point "
        << s.dwCheckPoint << ", hint " << s.dwWaitHint;
    return out.str();
}

inline std::vector<std::string> Describe(const std::vector<SERVICE_STATUS>& reports) {
    std::vector<std::string> lines;
    for (const SERVICE_STATUS& s : reports)
        lines.push_back(Describe(s));
    return lines;
}

inline std::string Report(DWORD state, DWORD accepts, DWORD checkPoint, DWORD hint,
                          DWORD exitCode = 0) {
    SERVICE_STATUS s = {SERVICE_WIN32_OWN_PROCESS,
                        state,
                        accepts,
                        exitCode != 0 ? 1066u : 0u,
                        exitCode,
                        checkPoint,
                        hint};
    return Describe(s);
}

// A system message as FormatLastError gives it: without the closing CR LF.
inline std::string MessageText(DWORD code) {
    std::string text = winsim::systemMessage(code);
    return text.size() >= 2 ? text.substr(0, text.size() - 2) : std::string();
}
