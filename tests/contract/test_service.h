// The suite's test service, and the fixture that registers and drives it.
//
// The test service is this executable itself: the fixture registers it with
// CreateServiceA under a name of the test's own, with kServiceOption and that
// name on its command line. Started by the service manager, it connects
// through the dispatcher and then does only what the test asks through its
// mailbox, a small named section the fixture creates before the start:
// report a given status record (any state, check point and wait hint),
// publish or withdraw a named section of its own, and, from its control
// handler, log each control it receives and optionally report a given
// record. So every status the service manager sees is one the test chose,
// and every control that reached the handler is on record.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outcome.h"

namespace contract {

// The command-line option that makes this executable run as the test
// service; the service's name follows it.
extern const char kServiceOption[];

// Runs this process as the test service `name` and returns the process's
// exit code: 0 when the dispatcher returned nonzero, 1 when it failed, 2
// when the mailbox could not be mapped.
int RunServiceProcess(const char* name);

enum ERequest : DWORD {
    kRequestReport = 1,   // SetServiceStatus with `report`
    kRequestPublish = 2,  // create the section `sectionName` holding `sectionBytes`
    kRequestWithdraw = 3, // unmap and close the published section
};

constexpr DWORD kMaxControls = 32;

// The mailbox. Each side writes only its own fields; a side publishes its
// fields with a release store of its counter (`request`, `answered`,
// `controlCount`, `mainCalls`, `dispatcherReturns`) and the other side reads
// them after an acquire load of that counter.
struct SMailbox {
    // Written by the test.
    DWORD request; // sequence number of the latest request
    DWORD kind;    // an ERequest
    SERVICE_STATUS report;
    char sectionName[64];
    char sectionBytes[16];
    DWORD sectionSize;
    // Reported by the handler for each control it receives, when its state
    // is not zero.
    SERVICE_STATUS onControl;

    // Written by the service.
    DWORD answered;  // sequence number of the latest request carried out
    BOOL result;     // what the request's call returned
    DWORD error;     // the last error after it (poisoned before)
    DWORD mainCalls; // service-main procedure calls
    DWORD mainArgc;  // its arguments, the first one cut to 259 characters
    char mainArg0[260];
    BOOL registered; // RegisterServiceCtrlHandlerA gave a status handle
    DWORD registerError;
    DWORD controlCount; // controls the handler received, the first ones in `controls`
    DWORD controls[kMaxControls];
    BOOL controlReportResult; // the handler's latest report and its last error
    DWORD controlReportError;
    DWORD dispatcherReturns; // StartServiceCtrlDispatcherA returned
    BOOL dispatcherResult;
    DWORD dispatcherError;
};

DWORD LoadAcquire(const DWORD* counter);
void StoreRelease(DWORD* counter, DWORD value);

// The mailbox section's name for the service `serviceName`.
std::string MailboxName(const std::string& serviceName);

// A status record of an own-process service.
SERVICE_STATUS Status(DWORD state, DWORD accepts, DWORD checkPoint, DWORD waitHint,
                      DWORD win32ExitCode = 0, DWORD specificExitCode = 0);
// Every field of a status record, so a mismatch shows them all.
std::string Describe(const SERVICE_STATUS& status);

// Polls `condition` every millisecond until it holds or `timeoutMs` have
// passed; returns whether it held.
template <typename Condition> bool WaitFor(Condition condition, DWORD timeoutMs = 10000) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) {
            return condition();
        }
        Sleep(1);
    }
    return true;
}

// Registers the test service under a name of the test's own and drives it.
// SetUp opens the service manager with all access and creates the mailbox;
// TearDown makes a service that still runs report stopped, deletes the
// service and releases everything.
class CServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the service (own process, demand start) and checks the call;
    // the last error it left is in m_createError.
    void Create();
    // Starts the created service through `handle` (default: the handle
    // Create gave), with `first` as its first report, and checks that the
    // start was accepted and the report made; the last error StartServiceA
    // left is in m_startError.
    void Start(const SERVICE_STATUS& first, SC_HANDLE handle = nullptr);
    // Makes the running service report `status`; returns SetServiceStatus's
    // result and leaves its last error in `error`. Fails the test when the
    // service does not answer.
    BOOL Report(const SERVICE_STATUS& status, DWORD* error = nullptr);
    // Makes the running service report stopped with `status` and waits
    // until the service manager sees it stopped and the service's process
    // has ended.
    void ReportStopped(const SERVICE_STATUS& status);
    // Asks the running service to publish or withdraw a section.
    BOOL Publish(const std::string& name, const std::string& bytes);
    BOOL Withdraw();
    // What the service manager says now; fails the test when the query fails.
    SERVICE_STATUS Query();
    // The controls that reached the service's handler so far.
    std::vector<DWORD> Controls() const;

    SMailbox& Mailbox() { return *m_mailbox; }

    std::string m_name;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    bool m_processRunning = false;
    DWORD m_createError = 0;
    DWORD m_startError = 0;

private:
    // Posts a request and waits until the service has carried it out.
    bool Post(DWORD kind);
    // Deletes a service of this name left by an earlier run.
    void RemoveLeftover();

    HANDLE m_mailboxSection = nullptr;
    SMailbox* m_mailbox = nullptr;
};

} // namespace contract
