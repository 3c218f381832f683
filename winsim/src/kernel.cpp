// Named file mappings, version and module information, system messages,
// local and global memory, the console and the runtime's descriptors, the
// user's account, and Windows Sockets start-up.
#include "core.h"

#include <io.h>
#include <winsock2.h>

#include <cstring>
#include <map>
#include <sys/mman.h>
#include <unistd.h>

using namespace winsim::detail;

namespace {

constexpr std::size_t kPage = 4096;

// Section storage is a memory file, so every view is a real shared mapping
// at an address of its own, as views of one section are on Windows.
struct Section {
    int fd = -1;
    std::size_t size = 0; // as created; the storage is rounded up to pages
    std::size_t storage = 0;
    DWORD protect = PAGE_READWRITE;
    ~Section() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct MappingObject : Object {
    std::shared_ptr<Section> section;
    DWORD access = 0;
};

struct ViewObject : Object {
    std::shared_ptr<Section> section;
    void* address = nullptr;
    std::size_t length = 0;
    ~ViewObject() override { ::munmap(address, length); }
};

struct BlockObject : Object {
    void* memory = nullptr;
    ~BlockObject() override { std::free(memory); }
};

struct Kernel {
    std::map<std::string, std::weak_ptr<Section>> namespace_;
    std::map<std::string, std::shared_ptr<Section>> foreignSections;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    std::string userName = "tester";
    std::string moduleFileName = "C:\\Brisvel\\brisvel.exe";
    std::map<DWORD, std::string> messages;
    int winsockResult = 0;
    WORD winsockVersion = 0x0101;
    std::size_t winsockStartups = 0;
    std::size_t winsockCleanups = 0;
    bool hasConsole = true;
    bool consoleAllocated = false;
    bool stdInvalid[3] = {false, false, false};
    std::map<int, winsim::Binding> descriptors; // opened on Win32 handles
    std::map<int, winsim::Binding> bindings;    // 0, 1, 2 after _dup2
    int nextDescriptor = 3;
    std::vector<FILE*> streams;
};

Kernel makeKernel();

// Built on first use, so the default messages are there even for a test's
// own static initialisation.
Kernel& kernel() {
    static Kernel k = makeKernel();
    return k;
}

const std::map<DWORD, std::string>& defaultMessages() {
    static const std::map<DWORD, std::string> texts = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file."},
        {3, "The system cannot find the path."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {14, "Not enough memory resources are available to complete this operation."},
        {50, "The request is not supported."},
        {87, "The parameter is incorrect."},
        {122, "The data area passed to a system call is too small."},
        {123, "The filename, directory name, or volume label syntax is incorrect."},
        {183, "Cannot create a file when that file already exists."},
        {234, "More data is available."},
        {487, "Attempt to access invalid address."},
        {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
        {1052, "The requested control is not valid for this service."},
        {1053, "The service did not respond to the start or control request in a timely "
               "fashion."},
        {1056, "An instance of the service is already running."},
        {1057, "The account name is invalid or does not exist, or the password is invalid for "
               "the account name given."},
        {1058, "The service cannot be started, either because it is disabled or because it has "
               "no enabled devices associated with it."},
        {1060, "The service does not exist as an installed service."},
        {1061, "The service cannot accept control messages at this time."},
        {1062, "The service has not been started."},
        {1063, "The service process could not connect to the service controller."},
        {1066, "The service has returned a service-specific error code."},
        {1072, "The service has been marked for deletion."},
        {1073, "The service already exists."},
        {1332, "No mapping between account names and security IDs was done."},
        {10091, "WSAStartup cannot function at this time because the underlying system it uses "
                "to provide network services is currently unavailable."},
        {10092, "The Windows Sockets version requested is not supported."},
    };
    return texts;
}

Kernel makeKernel() {
    Kernel k;
    for (const auto& [code, text] : defaultMessages()) {
        k.messages[code] = text + "\r\n";
    }
    return k;
}

void resetKernel() {
    Kernel& k = kernel();
    for (FILE* stream : k.streams) {
        std::fclose(stream);
    }
    k = makeKernel();
}

[[maybe_unused]] const bool registered = [] {
    registerReset(resetKernel);
    return true;
}();

std::shared_ptr<Section> makeSection(std::size_t size, DWORD protect) {
    auto section = std::make_shared<Section>();
    section->size = size;
    section->storage = (size + kPage - 1) / kPage * kPage;
    section->protect = protect;
    section->fd = ::memfd_create("winsim-section", MFD_CLOEXEC);
    if (section->fd < 0 || ::ftruncate(section->fd, static_cast<off_t>(section->storage)) != 0) {
        winsim::unsupported("file mapping storage: memfd_create or ftruncate failed");
    }
    return section;
}

std::shared_ptr<Section> findSection(const std::string& name) {
    auto it = kernel().namespace_.find(name);
    if (it == kernel().namespace_.end()) {
        return nullptr;
    }
    return it->second.lock();
}

// A fixed pseudo handle for each standard stream, as the console gives them;
// they are not counted with the process's own handles.
HANDLE stdHandleValue(int index) {
    std::uintptr_t base = kernel().consoleAllocated ? 0x7f000100u : 0x7f000010u;
    return reinterpret_cast<HANDLE>(base + 4u * static_cast<unsigned>(index));
}

int stdIndex(DWORD which) {
    if (which == STD_INPUT_HANDLE) {
        return 0;
    }
    if (which == STD_OUTPUT_HANDLE) {
        return 1;
    }
    if (which == STD_ERROR_HANDLE) {
        return 2;
    }
    return -1;
}

void* allocateBlock(winsim::Kind kind, UINT flags, SIZE_T bytes) {
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (flags & LMEM_ZEROINIT) {
        std::memset(memory, 0, bytes);
    } else {
        // Fresh memory on Windows is not zeroed; make reliance on zeros show.
        std::memset(memory, 0xCD, bytes);
    }
    auto block = std::make_shared<BlockObject>();
    block->memory = memory;
    addEntry(reinterpret_cast<std::uintptr_t>(memory), kind, block);
    return memory;
}

} // namespace

namespace winsim {

void setPlatformId(DWORD platformId) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().platformId = platformId;
}

void setUserName(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().userName = name;
}

std::vector<BYTE> userSid() {
    // S-1-5-21-1004336348-1177238915-682003330-1001: revision 1, five
    // sub-authorities, authority 5 (NT).
    std::vector<BYTE> sid = {1, 5, 0, 0, 0, 0, 0, 5};
    for (DWORD part : {21u, 1004336348u, 1177238915u, 682003330u, 1001u}) {
        for (int i = 0; i < 4; ++i) {
            sid.push_back(static_cast<BYTE>(part >> (8 * i)));
        }
    }
    return sid;
}

void setModuleFileName(const std::string& path) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().moduleFileName = path;
}

void setSystemMessage(DWORD code, const std::string& text) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().messages[code] = text;
}

void removeSystemMessage(DWORD code) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().messages.erase(code);
}

std::string systemMessage(DWORD code) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto it = kernel().messages.find(code);
    return it == kernel().messages.end() ? std::string() : it->second;
}

void setWinsock(int startupResult, WORD reportedVersion) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().winsockResult = startupResult;
    kernel().winsockVersion = reportedVersion;
}

std::size_t winsockStartups() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return kernel().winsockStartups;
}

std::size_t winsockCleanups() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return kernel().winsockCleanups;
}

void setHasConsole(bool hasConsole) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().hasConsole = hasConsole;
}

bool consoleAllocated() {
    std::lock_guard<std::mutex> lock(world().mutex);
    return kernel().consoleAllocated;
}

void setStdHandleInvalid(DWORD which, bool invalid) {
    int index = stdIndex(which);
    if (index < 0) {
        unsupported("setStdHandleInvalid: not a standard handle");
    }
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().stdInvalid[index] = invalid;
}

HANDLE stdHandle(DWORD which) {
    int index = stdIndex(which);
    if (index < 0) {
        unsupported("stdHandle: not a standard handle");
    }
    std::lock_guard<std::mutex> lock(world().mutex);
    return kernel().stdInvalid[index] ? INVALID_HANDLE_VALUE : stdHandleValue(index);
}

std::optional<Binding> streamBinding(int descriptor) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto it = kernel().bindings.find(descriptor);
    if (it == kernel().bindings.end()) {
        return std::nullopt;
    }
    return it->second;
}

void setSection(const std::string& name, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto section = makeSection(bytes.empty() ? 1 : bytes.size(), PAGE_READWRITE);
    if (!bytes.empty() && ::pwrite(section->fd, bytes.data(), bytes.size(), 0) !=
                              static_cast<ssize_t>(bytes.size())) {
        unsupported("setSection: writing the section failed");
    }
    kernel().foreignSections[name] = section;
    kernel().namespace_[name] = section;
}

void removeSection(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    kernel().foreignSections.erase(name);
}

bool sectionExists(const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return findSection(name) != nullptr;
}

} // namespace winsim

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
    Call call("CreateFileMappingA");
    if (file != INVALID_HANDLE_VALUE) {
        winsim::unsupported("CreateFileMappingA: mappings of files");
    }
    if (attributes != nullptr || (protect != PAGE_READWRITE && protect != PAGE_READONLY) ||
        maximumSizeHigh != 0) {
        winsim::unsupported("CreateFileMappingA: attributes, protection or size above 4 GiB");
    }
    if (call.failed()) {
        return call.fail<HANDLE>(nullptr);
    }
    std::shared_ptr<Section> section;
    DWORD lastError = ERROR_SUCCESS;
    if (name != nullptr && (section = findSection(name)) != nullptr) {
        lastError = ERROR_ALREADY_EXISTS;
    } else {
        if (maximumSizeLow == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        section = makeSection(maximumSizeLow, protect);
        if (name != nullptr) {
            kernel().namespace_[name] = section;
        }
    }
    auto mapping = std::make_shared<MappingObject>();
    mapping->section = section;
    mapping->access = protect == PAGE_READWRITE ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ;
    HANDLE handle = reinterpret_cast<HANDLE>(addHandle(winsim::Kind::Mapping, mapping));
    SetLastError(lastError);
    return handle;
}

HANDLE WINAPI OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name) {
    Call call("OpenFileMappingA");
    (void)inherit;
    if (call.failed()) {
        return call.fail<HANDLE>(nullptr);
    }
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto section = findSection(name);
    if (!section) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if ((access & FILE_MAP_WRITE) && section->protect == PAGE_READONLY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto mapping = std::make_shared<MappingObject>();
    mapping->section = section;
    mapping->access = access;
    return reinterpret_cast<HANDLE>(addHandle(winsim::Kind::Mapping, mapping));
}

LPVOID WINAPI MapViewOfFile(HANDLE handle, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) {
    Call call("MapViewOfFile");
    if (offsetHigh != 0 || offsetLow != 0) {
        winsim::unsupported("MapViewOfFile: views at an offset");
    }
    if (call.failed()) {
        return call.fail<LPVOID>(nullptr);
    }
    auto mapping = call.object<MappingObject>(handle, {winsim::Kind::Mapping});
    if (!mapping) {
        return nullptr;
    }
    bool wantsWrite = (access & FILE_MAP_WRITE) != 0;
    if ((wantsWrite && !(mapping->access & FILE_MAP_WRITE)) ||
        ((access & FILE_MAP_READ) && !(mapping->access & (FILE_MAP_READ | FILE_MAP_WRITE)))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::shared_ptr<Section> section = mapping->section;
    if (bytes > section->size) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::size_t length = section->storage;
    int protection = wantsWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* address = ::mmap(nullptr, length, protection, MAP_SHARED, section->fd, 0);
    if (address == MAP_FAILED) {
        winsim::unsupported("MapViewOfFile: mmap failed");
    }
    auto view = std::make_shared<ViewObject>();
    view->section = section;
    view->address = address;
    view->length = length;
    addEntry(reinterpret_cast<std::uintptr_t>(address), winsim::Kind::View, view);
    return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
    Call call("UnmapViewOfFile");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (!call.close(address, {winsim::Kind::View})) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    Call call("GetVersionExA");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
        info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    info->dwPlatformId = kernel().platformId;
    if (kernel().platformId == VER_PLATFORM_WIN32_NT) {
        info->dwMajorVersion = 6;
        info->dwMinorVersion = 1;
        info->dwBuildNumber = 7601;
        std::strcpy(info->szCSDVersion, "Service Pack 1");
    } else {
        info->dwMajorVersion = 4;
        info->dwMinorVersion = 10;
        info->dwBuildNumber = 0x040A08AE;
    }
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    Call call("GetModuleFileNameA");
    if (module != nullptr) {
        winsim::unsupported("GetModuleFileNameA: other modules");
    }
    if (call.failed()) {
        return call.fail<DWORD>(0);
    }
    // As Wine does: a path that does not fit is cut to the buffer's size,
    // without a terminator, and the size is returned; one that fits clears
    // the last error.
    const std::string& path = kernel().moduleFileName;
    DWORD length = static_cast<DWORD>(path.size());
    DWORD copied = length < size ? length : size;
    std::memcpy(fileName, path.data(), copied);
    if (copied < size) {
        fileName[copied] = '\0';
        SetLastError(ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    return copied;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, va_list* arguments) {
    Call call("FormatMessageA");
    const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    if ((flags & ~known) != 0 || !(flags & FORMAT_MESSAGE_FROM_SYSTEM) || source != nullptr ||
        languageId != 0 || arguments != nullptr) {
        winsim::unsupported("FormatMessageA: only system messages in the default language");
    }
    if (call.failed()) {
        return call.fail<DWORD>(0);
    }
    auto it = kernel().messages.find(messageId);
    if (it == kernel().messages.end()) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::string& text = it->second;
    DWORD length = static_cast<DWORD>(text.size());
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD bytes = (length + 1 > size ? length + 1 : size);
        char* memory = static_cast<char*>(allocateBlock(winsim::Kind::LocalMemory, LPTR, bytes));
        if (memory == nullptr) {
            return 0;
        }
        std::memcpy(memory, text.c_str(), length + 1);
        *reinterpret_cast<char**>(buffer) = memory;
        return length;
    }
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), length + 1);
    return length;
}

static void* allocate(const char* function, winsim::Kind kind, UINT flags, SIZE_T bytes) {
    Call call(function);
    if ((flags & ~LMEM_ZEROINIT) != 0) {
        winsim::unsupported(std::string(function) + ": movable or discardable blocks");
    }
    if (call.failed()) {
        return call.fail<void*>(nullptr);
    }
    return allocateBlock(kind, flags, bytes);
}

static void* release(const char* function, winsim::Kind kind, void* memory) {
    Call call(function);
    if (memory == nullptr) {
        return nullptr;
    }
    if (call.failed()) {
        return call.fail(memory);
    }
    return call.close(memory, {kind}) ? nullptr : memory;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    return allocate("LocalAlloc", winsim::Kind::LocalMemory, flags, bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    return release("LocalFree", winsim::Kind::LocalMemory, memory);
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    return allocate("GlobalAlloc", winsim::Kind::GlobalMemory, flags, bytes);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
    return release("GlobalFree", winsim::Kind::GlobalMemory, memory);
}

BOOL WINAPI AllocConsole(void) {
    Call call("AllocConsole");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (kernel().hasConsole) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    kernel().hasConsole = true;
    kernel().consoleAllocated = true;
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    Call call("GetStdHandle");
    int index = stdIndex(which);
    if (index < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (call.failed()) {
        return call.fail(INVALID_HANDLE_VALUE);
    }
    if (kernel().stdInvalid[index]) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return stdHandleValue(index);
}

int _open_osfhandle(intptr_t osHandle, int flags) {
    Call call("_open_osfhandle");
    if (call.failed()) {
        return -1;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
    bool known = false;
    for (int i = 0; i < 3; ++i) {
        known = known || handle == stdHandleValue(i);
    }
    if (!known) {
        winsim::unsupported("_open_osfhandle: handles other than the standard ones");
    }
    int descriptor = kernel().nextDescriptor++;
    kernel().descriptors[descriptor] = winsim::Binding{handle, (flags & _O_TEXT) != 0};
    return descriptor;
}

FILE* _fdopen(int descriptor, const char* mode) {
    Call call("_fdopen");
    if (call.failed()) {
        return nullptr;
    }
    if (kernel().descriptors.count(descriptor) == 0) {
        winsim::unsupported("_fdopen: a descriptor not opened by _open_osfhandle");
    }
    // The stream itself is never written through: the product rebinds the
    // standard descriptors. A real stream keeps the pointer valid.
    FILE* stream = std::fopen("/dev/null", mode);
    if (stream == nullptr) {
        winsim::unsupported("_fdopen: /dev/null cannot be opened");
    }
    kernel().streams.push_back(stream);
    return stream;
}

int _dup2(int descriptor, int target) {
    Call call("_dup2");
    if (call.failed()) {
        return -1;
    }
    auto it = kernel().descriptors.find(descriptor);
    if (it == kernel().descriptors.end() || target < 0 || target > 2) {
        winsim::unsupported("_dup2: only descriptors on standard handles onto 0, 1 and 2");
    }
    kernel().bindings[target] = it->second;
    return 0;
}

BOOL WINAPI GetUserNameA(LPSTR buffer, LPDWORD size) {
    Call call("GetUserNameA");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    const std::string& name = kernel().userName;
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (*size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = needed;
    return TRUE;
}

BOOL WINAPI LookupAccountNameA(LPCSTR systemName, LPCSTR accountName, PSID sid, LPDWORD sidSize,
                               LPSTR domainName, LPDWORD domainSize, PSID_NAME_USE use) {
    Call call("LookupAccountNameA");
    if (systemName != nullptr) {
        winsim::unsupported("LookupAccountNameA: remote systems");
    }
    if (call.failed()) {
        return call.fail(FALSE);
    }
    if (accountName == nullptr || kernel().userName.empty() || kernel().userName != accountName) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    std::vector<BYTE> bytes = winsim::userSid();
    static const char domain[] = "WINSIM";
    DWORD sidNeeded = static_cast<DWORD>(bytes.size());
    DWORD domainNeeded = sizeof(domain);
    if (*sidSize < sidNeeded || *domainSize < domainNeeded) {
        *sidSize = sidNeeded;
        *domainSize = domainNeeded;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(sid, bytes.data(), bytes.size());
    std::memcpy(domainName, domain, sizeof(domain));
    *sidSize = sidNeeded;
    *domainSize = domainNeeded - 1;
    *use = SidTypeUser;
    return TRUE;
}

static bool validSid(const BYTE* sid) {
    return sid != nullptr && sid[0] == 1 && sid[1] <= 15;
}

BOOL WINAPI IsValidSid(PSID sid) {
    Call call("IsValidSid");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    return validSid(static_cast<const BYTE*>(sid)) ? TRUE : FALSE;
}

DWORD WINAPI GetLengthSid(PSID sid) {
    Call call("GetLengthSid");
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    if (!validSid(bytes)) {
        winsim::unsupported("GetLengthSid: an invalid SID");
    }
    return 8u + 4u * bytes[1];
}

BOOL WINAPI CopySid(DWORD destinationLength, PSID destination, PSID source) {
    Call call("CopySid");
    if (call.failed()) {
        return call.fail(FALSE);
    }
    const BYTE* bytes = static_cast<const BYTE*>(source);
    if (!validSid(bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD length = 8u + 4u * bytes[1];
    if (destinationLength < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(destination, source, length);
    return TRUE;
}

int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data) {
    Call call("WSAStartup");
    (void)versionRequested;
    if (call.failed()) {
        return static_cast<int>(call.error());
    }
    if (kernel().winsockResult != 0) {
        return kernel().winsockResult;
    }
    std::memset(data, 0, sizeof(*data));
    data->wVersion = kernel().winsockVersion;
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    ++kernel().winsockStartups;
    return 0;
}

int WINAPI WSACleanup(void) {
    Call call("WSACleanup");
    ++kernel().winsockCleanups;
    return 0;
}

void WINAPI WSASetLastError(int error) {
    Call call("WSASetLastError");
    SetLastError(static_cast<DWORD>(error));
}

int WINAPI WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}

} // extern "C"
