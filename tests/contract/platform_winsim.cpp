// The suite against winsim: one process plays both sides. The service
// manager is told that the test service is run by this process, and the
// service's "process" is a thread that runs the same entry point the
// service process runs under Wine.
#include "platform.h"

#include <winsim/winsim.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "test_service.h"

namespace contract {

namespace {

struct CServiceProcess {
    std::thread thread;
    std::future<int> exitCode;
};

// The service processes started by the tests, by service name. Used from
// the test's thread only.
std::map<std::string, CServiceProcess>& Processes() {
    static std::map<std::string, CServiceProcess> processes;
    return processes;
}

// Waits for a process's thread to end; true when it did in time.
bool Join(CServiceProcess& process, DWORD timeoutMs) {
    if (!process.thread.joinable()) {
        return true;
    }
    if (process.exitCode.wait_for(std::chrono::milliseconds(timeoutMs)) !=
        std::future_status::ready) {
        return false;
    }
    process.thread.join();
    return true;
}

// Time runs at its real speed, as on the platform: the test service polls
// its mailbox with short sleeps, and the tests wait for it in real time.
// At the end, a service process a failed test left behind is ended.
class CWinsimEnvironment : public ::testing::Environment {
public:
    void SetUp() override { winsim::setTimeScale(1.0); }
    void TearDown() override {
        winsim::endProcess();
        for (auto& [name, process] : Processes()) {
            if (process.thread.joinable()) {
                process.thread.join();
            }
        }
        Processes().clear();
    }
};

[[maybe_unused]] ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(new CWinsimEnvironment);

} // namespace

bool UnderWine() {
    return false;
}

void ServiceCreated(const std::string& name) {
    winsim::addHostedService(name);
}

void ServiceStarted(const std::string& name) {
    CServiceProcess& process = Processes()[name];
    if (!Join(process, 10000)) {
        ADD_FAILURE() << "the previous process of " << name << " still runs";
        return;
    }
    std::size_t reports = winsim::statusReports(name).size();
    std::packaged_task<int()> body([name] { return RunServiceProcess(name.c_str()); });
    process.exitCode = body.get_future();
    process.thread = std::thread(std::move(body));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (winsim::statusReports(name).size() == reports &&
           process.exitCode.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool ServiceEnded(const std::string& name, DWORD timeoutMs) {
    auto it = Processes().find(name);
    return it == Processes().end() || Join(it->second, timeoutMs);
}

void KillServiceProcess(const std::string& name) {
    // Ending the simulated process unwinds the service's threads and makes
    // its dispatcher return, as the end of a real process would.
    winsim::endProcess();
    EXPECT_TRUE(ServiceEnded(name, 5000)) << "the process of " << name << " did not end";
}

DWORD SendShutdown(const std::string& name) {
    return winsim::sendControl(name, SERVICE_CONTROL_SHUTDOWN);
}

void SetRegistryAccessDenied(const std::string& path, bool denied) {
    winsim::regDenyAccess("HKCU\\" + path, denied);
}

} // namespace contract
