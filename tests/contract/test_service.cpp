#include "test_service.h"

#include <cctype>
#include <cstring>
#include <sstream>

#include "platform.h"

namespace contract {

const char kServiceOption[] = "--contract-service";

DWORD LoadAcquire(const DWORD* counter) {
    return __atomic_load_n(counter, __ATOMIC_ACQUIRE);
}

void StoreRelease(DWORD* counter, DWORD value) {
    __atomic_store_n(counter, value, __ATOMIC_RELEASE);
}

std::string MailboxName(const std::string& serviceName) {
    return "BrisvelContractMailbox_" + serviceName;
}

SERVICE_STATUS Status(DWORD state, DWORD accepts, DWORD checkPoint, DWORD waitHint,
                      DWORD win32ExitCode, DWORD specificExitCode) {
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepts;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return status;
}

std::string Describe(const SERVICE_STATUS& s) {
    std::ostringstream out;
    out << "type 0x" << std::hex << s.dwServiceType << std::dec << ", state " << s.dwCurrentState
        << ", accepts 0x" << std::hex << s.dwControlsAccepted << std::dec << ", win32 "
        << s.dwWin32ExitCode << ", specific " << s.dwServiceSpecificExitCode << ", check point "
        << s.dwCheckPoint << ", hint " << s.dwWaitHint;
    return out.str();
}

// ---------------------------------------------------------------- the service process

namespace {

const DWORD kPollMs = 2;

// The service process's state. One test service per process, so plain
// statics; the handler and the service-main procedure share them.
char s_name[128];
SMailbox* s_mailbox = nullptr;
SERVICE_STATUS_HANDLE s_statusHandle = nullptr;
HANDLE s_published = nullptr;
void* s_publishedView = nullptr;

void CopyText(char* target, std::size_t size, const char* text) {
    std::size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length >= size) {
        length = size - 1;
    }
    if (length > 0) {
        std::memcpy(target, text, length);
    }
    target[length] = '\0';
}

void WithdrawSection() {
    if (s_publishedView != nullptr) {
        UnmapViewOfFile(s_publishedView);
        s_publishedView = nullptr;
    }
    if (s_published != nullptr) {
        CloseHandle(s_published);
        s_published = nullptr;
    }
}

// Carries out the mailbox's request. Returns true when it reported stopped.
bool CarryOut(SMailbox& m) {
    m.result = FALSE;
    m.error = kPoison;
    switch (m.kind) {
    case kRequestReport: {
        SERVICE_STATUS status = m.report;
        SetLastError(kPoison);
        m.result = SetServiceStatus(s_statusHandle, &status);
        m.error = GetLastError();
        return m.result && status.dwCurrentState == SERVICE_STOPPED;
    }
    case kRequestPublish: {
        WithdrawSection();
        char name[sizeof m.sectionName];
        CopyText(name, sizeof name, m.sectionName);
        DWORD size = m.sectionSize <= sizeof m.sectionBytes ? m.sectionSize : 0;
        SetLastError(kPoison);
        s_published =
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
        m.error = GetLastError();
        if (s_published != nullptr) {
            s_publishedView = MapViewOfFile(s_published, FILE_MAP_ALL_ACCESS, 0, 0, 0);
            if (s_publishedView != nullptr) {
                std::memcpy(s_publishedView, m.sectionBytes, size);
                m.result = TRUE;
            } else {
                m.error = GetLastError();
            }
        }
        return false;
    }
    case kRequestWithdraw:
        WithdrawSection();
        m.result = TRUE;
        return false;
    }
    return false;
}

void WINAPI Handler(DWORD control) {
    SMailbox& m = *s_mailbox;
    DWORD count = m.controlCount;
    if (count < kMaxControls) {
        m.controls[count] = control;
    }
    if (m.onControl.dwCurrentState != 0) {
        SERVICE_STATUS status = m.onControl;
        SetLastError(kPoison);
        m.controlReportResult = SetServiceStatus(s_statusHandle, &status);
        m.controlReportError = GetLastError();
    }
    StoreRelease(&m.controlCount, count + 1);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    SMailbox& m = *s_mailbox;
    m.mainArgc = argc;
    CopyText(m.mainArg0, sizeof m.mainArg0, argc > 0 ? argv[0] : nullptr);
    SetLastError(kPoison);
    s_statusHandle = RegisterServiceCtrlHandlerA(s_name, Handler);
    m.registered = s_statusHandle != nullptr;
    m.registerError = GetLastError();
    StoreRelease(&m.mainCalls, m.mainCalls + 1);
    if (s_statusHandle == nullptr) {
        return;
    }
    for (;;) {
        DWORD request = LoadAcquire(&m.request);
        if (request != m.answered) {
            bool stopped = CarryOut(m);
            StoreRelease(&m.answered, request);
            if (stopped) {
                // The dispatcher returns now; the process may end at any
                // moment, so nothing more is done here.
                return;
            }
        }
        Sleep(kPollMs);
    }
}

} // namespace

int RunServiceProcess(const char* name) {
    CopyText(s_name, sizeof s_name, name);
    HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, MailboxName(s_name).c_str());
    if (section == nullptr) {
        return 2;
    }
    void* view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(section);
        return 2;
    }
    s_mailbox = static_cast<SMailbox*>(view);
    SERVICE_TABLE_ENTRYA table[] = {{s_name, ServiceMain}, {nullptr, nullptr}};
    SetLastError(kPoison);
    BOOL result = StartServiceCtrlDispatcherA(table);
    s_mailbox->dispatcherResult = result;
    s_mailbox->dispatcherError = GetLastError();
    StoreRelease(&s_mailbox->dispatcherReturns, s_mailbox->dispatcherReturns + 1);
    WithdrawSection();
    s_mailbox = nullptr;
    s_statusHandle = nullptr;
    UnmapViewOfFile(view);
    CloseHandle(section);
    return result ? 0 : 1;
}

// ---------------------------------------------------------------- the fixture

namespace {

// "BrisvelContract_" and the test's suite and name, with anything but
// letters and digits made an underscore.
std::string ServiceNameOfTest() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        std::string("BrisvelContract_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

std::string ServiceCommandLine(const std::string& name) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH] = '\0';
    return std::string("\"") + path + "\" " + kServiceOption + " " + name;
}

} // namespace

void CServiceTest::SetUp() {
    m_name = ServiceNameOfTest();
    m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, m_manager) << "OpenSCManagerA failed with " << GetLastError();
    RemoveLeftover();
    m_mailboxSection = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(SMailbox), MailboxName(m_name).c_str());
    ASSERT_NE(nullptr, m_mailboxSection) << "the mailbox: " << GetLastError();
    m_mailbox =
        static_cast<SMailbox*>(MapViewOfFile(m_mailboxSection, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(nullptr, m_mailbox) << "the mailbox's view: " << GetLastError();
    std::memset(m_mailbox, 0, sizeof(SMailbox));
}

void CServiceTest::TearDown() {
    if (m_processRunning) {
        ReportStopped(Status(SERVICE_STOPPED, 0, 0, 0));
    }
    if (m_service != nullptr) {
        EXPECT_TRUE(DeleteService(m_service)) << GetLastError();
        EXPECT_TRUE(CloseServiceHandle(m_service));
        m_service = nullptr;
    }
    if (m_manager != nullptr) {
        EXPECT_TRUE(CloseServiceHandle(m_manager));
        m_manager = nullptr;
    }
    if (m_mailbox != nullptr) {
        UnmapViewOfFile(m_mailbox);
        m_mailbox = nullptr;
    }
    if (m_mailboxSection != nullptr) {
        CloseHandle(m_mailboxSection);
        m_mailboxSection = nullptr;
    }
}

void CServiceTest::RemoveLeftover() {
    SC_HANDLE leftover = OpenServiceA(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS);
    if (leftover != nullptr) {
        DeleteService(leftover);
        CloseServiceHandle(leftover);
    }
}

void CServiceTest::Create() {
    std::string commandLine = ServiceCommandLine(m_name);
    SetLastError(kPoison);
    m_service =
        CreateServiceA(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    m_createError = GetLastError();
    ASSERT_NE(nullptr, m_service) << "CreateServiceA failed with " << m_createError;
    ServiceCreated(m_name);
}

void CServiceTest::Start(const SERVICE_STATUS& first, SC_HANDLE handle) {
    ASSERT_NE(nullptr, m_service);
    // No service process runs now. One that ended right after reporting
    // stopped may not have acknowledged that last request: the new one
    // starts from the next.
    m_mailbox->answered = m_mailbox->request;
    DWORD request = m_mailbox->request + 1;
    m_mailbox->kind = kRequestReport;
    m_mailbox->report = first;
    StoreRelease(&m_mailbox->request, request);
    SetLastError(kPoison);
    BOOL started = StartServiceA(handle != nullptr ? handle : m_service, 0, nullptr);
    m_startError = GetLastError();
    ASSERT_EQ(TRUE, started) << "StartServiceA failed with " << m_startError;
    m_processRunning = true;
    ServiceStarted(m_name);
    ASSERT_TRUE(WaitFor([&] { return LoadAcquire(&m_mailbox->answered) == request; }))
        << "the service did not make its first report";
    ASSERT_EQ(TRUE, m_mailbox->result) << "the first report failed with " << m_mailbox->error;
}

bool CServiceTest::Post(DWORD kind) {
    DWORD request = m_mailbox->request + 1;
    m_mailbox->kind = kind;
    StoreRelease(&m_mailbox->request, request);
    return WaitFor([&] { return LoadAcquire(&m_mailbox->answered) == request; });
}

BOOL CServiceTest::Report(const SERVICE_STATUS& status, DWORD* error) {
    m_mailbox->report = status;
    if (!Post(kRequestReport)) {
        ADD_FAILURE() << "the service did not report " << Describe(status);
        return FALSE;
    }
    if (error != nullptr) {
        *error = m_mailbox->error;
    }
    return m_mailbox->result;
}

void CServiceTest::ReportStopped(const SERVICE_STATUS& status) {
    m_processRunning = false;
    DWORD request = m_mailbox->request + 1;
    m_mailbox->kind = kRequestReport;
    m_mailbox->report = status;
    StoreRelease(&m_mailbox->request, request);
    // The process may end as soon as the report is made, before it
    // acknowledges it: the service manager's view is what counts.
    SERVICE_STATUS seen = {};
    EXPECT_TRUE(WaitFor([&] {
        return QueryServiceStatus(m_service, &seen) && seen.dwCurrentState == SERVICE_STOPPED;
    })) << "still "
        << Describe(seen);
    EXPECT_TRUE(ServiceEnded(m_name, 10000)) << "the service's process did not end";
}

BOOL CServiceTest::Publish(const std::string& name, const std::string& bytes) {
    if (name.size() >= sizeof m_mailbox->sectionName ||
        bytes.size() > sizeof m_mailbox->sectionBytes) {
        ADD_FAILURE() << "section name or bytes too long for the mailbox";
        return FALSE;
    }
    std::memcpy(m_mailbox->sectionName, name.c_str(), name.size() + 1);
    std::memcpy(m_mailbox->sectionBytes, bytes.data(), bytes.size());
    m_mailbox->sectionSize = static_cast<DWORD>(bytes.size());
    if (!Post(kRequestPublish)) {
        ADD_FAILURE() << "the service did not publish " << name;
        return FALSE;
    }
    return m_mailbox->result;
}

BOOL CServiceTest::Withdraw() {
    if (!Post(kRequestWithdraw)) {
        ADD_FAILURE() << "the service did not withdraw its section";
        return FALSE;
    }
    return m_mailbox->result;
}

SERVICE_STATUS CServiceTest::Query() {
    SERVICE_STATUS status;
    std::memset(&status, 0xCC, sizeof status);
    SetLastError(kPoison);
    BOOL ok = QueryServiceStatus(m_service, &status);
    EXPECT_EQ(TRUE, ok) << "QueryServiceStatus failed with " << GetLastError();
    return status;
}

std::vector<DWORD> CServiceTest::Controls() const {
    DWORD count = LoadAcquire(&m_mailbox->controlCount);
    if (count > kMaxControls) {
        count = kMaxControls;
    }
    return std::vector<DWORD>(m_mailbox->controls, m_mailbox->controls + count);
}

} // namespace contract
