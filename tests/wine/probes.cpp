// Probes only the Wine scenarios use, linked into helper.exe (the commands
// are listed in tools/helper.cpp): system texts, registry values as bytes,
// sections the publisher must not take over or that the watchdog must not
// trust, and what the publisher's section looks like from outside.
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LiveCheckPublisher.h"
#include "helper.h"
#include "probes.h"

namespace {

const DWORD kPageSize = 4096;

// ---------------------------------------------------------------------------
// Bytes as C escapes: \0, \\, \" and \xNN for every byte that is not
// printable ASCII.

std::string Escape(const BYTE* bytes, DWORD size) {
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        char piece[8];
        BYTE c = bytes[i];
        if (c == 0)
            std::strcpy(piece, "\\0");
        else if (c == '\\' || c == '"')
            std::snprintf(piece, sizeof piece, "\\%c", c);
        else if (c >= 0x20 && c < 0x7F)
            std::snprintf(piece, sizeof piece, "%c", c);
        else
            std::snprintf(piece, sizeof piece, "\\x%02x", c);
        text += piece;
    }
    return text;
}

std::vector<BYTE> Unescape(const char* text) {
    std::vector<BYTE> bytes;
    for (; *text; ++text) {
        if (*text != '\\' || text[1] == '\0') {
            bytes.push_back(static_cast<BYTE>(*text));
        } else if (*++text == '0') {
            bytes.push_back(0);
        } else if (*text == 'x' && text[1] && text[2]) {
            char hex[3] = {text[1], text[2], 0};
            bytes.push_back(static_cast<BYTE>(std::strtoul(hex, nullptr, 16)));
            text += 2;
        } else {
            bytes.push_back(static_cast<BYTE>(*text));
        }
    }
    return bytes;
}

} // namespace

// ---------------------------------------------------------------------------
// Registry values as escaped bytes.

// argv: VERB [/reg:32|/reg:64] KEY VALUE [TYPE BYTES]. The view switch, as
// reg.exe spells it, opens the 32-bit or the 64-bit registry view whatever
// this helper's own architecture is: an x86 package's entries under
// HKLM\Software are in the 32-bit view (WOW6432Node to an x64 process), an
// x64 package's in the 64-bit one.
// Creates the key `path` as a link to the key `target` (a path in the
// registry's own namespace, \Registry\Machine\...).
int LinkKey(HKEY root, const char* path, const char* target) {
    HKEY opened = nullptr;
    if (RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS)
        return Fail("RegCreateKeyEx");
    CRegKey key(opened);
    std::wstring wide(target, target + std::strlen(target));
    // The link's target, in UTF-16 and without its terminating NUL.
    LONG result = RegSetValueExW(opened, L"SymbolicLinkValue", 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(wide.data()),
                                 static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
    return result == ERROR_SUCCESS ? 0 : 1;
}

int RunRegistry(int argc, char** argv) {
    std::string verb = argc > 0 ? argv[0] : "";
    REGSAM view = 0;
    if (argc > 1 && (!std::strcmp(argv[1], "/reg:32") || !std::strcmp(argv[1], "/reg:64"))) {
        view = argv[1][5] == '3' ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        --argc;
        ++argv;
    }
    if (argc < 2 || (std::strncmp(argv[1], "HKLM\\", 5) && std::strncmp(argv[1], "HKCU\\", 5)))
        return Usage();
    HKEY root = argv[1][2] == 'L' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const char* path = argv[1] + 5;
    if (verb == "link" && argc == 3)
        return LinkKey(root, path, argv[2]);
    HKEY opened = nullptr;
    LONG result = verb == "set" ? RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                                  nullptr, &opened, nullptr)
                                : RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | view, &opened);
    CRegKey key(opened);
    if (verb == "get" && argc == 3) {
        DWORD type = 0, size = 0;
        if (result == ERROR_SUCCESS)
            result = RegQueryValueExA(opened, argv[2], nullptr, &type, nullptr, &size);
        std::vector<BYTE> data(size + 1);
        if (result == ERROR_SUCCESS)
            result = RegQueryValueExA(opened, argv[2], nullptr, &type, data.data(), &size);
        if (result == ERROR_FILE_NOT_FOUND)
            std::printf("none\n");
        else if (result == ERROR_SUCCESS)
            std::printf("%lu \"%s\"\n", type, Escape(data.data(), size).c_str());
        else
            std::printf("error=%ld\n", result);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }
    if (verb == "set" && argc == 5 && result == ERROR_SUCCESS) {
        // A byte that is not NUL after the counted ones: RegSetValueExA
        // stores a string value with the NUL that follows its bytes when the
        // caller left it out (Windows NT does, and Wine's x64 build does),
        // so only this way is a value without its final NUL stored as such.
        std::vector<BYTE> data = Unescape(argv[4]);
        DWORD size = static_cast<DWORD>(data.size());
        data.push_back('!');
        result = RegSetValueExA(opened, argv[2], 0, Number(argv[3]), data.data(), size);
    } else if (verb == "delete" && argc == 3 && result == ERROR_SUCCESS) {
        result = RegDeleteValueA(opened, argv[2]);
    } else if (result == ERROR_SUCCESS) {
        return Usage();
    }
    return result == ERROR_SUCCESS ? 0 : 1;
}

// ---------------------------------------------------------------------------
// System texts.

int PrintErrorText(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    CLocalMemory owner(text);
    if (length < 2)
        return Fail("FormatMessage");
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text, 1, length - 2, stdout);
    return 0;
}

// The message `id` of `module`'s message table, formatted with `insert` as
// its one insert the way Event Viewer does (the module loaded as data: only
// its resources are used), written byte for byte.
int PrintMessage(const char* module, DWORD id, const char* insert) {
    HMODULE file = LoadLibraryExA(module, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (file == nullptr)
        return Fail("LoadLibraryEx");
    LPSTR text = nullptr;
    DWORD_PTR inserts[1] = {reinterpret_cast<DWORD_PTR>(insert)};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  file, id, 0, reinterpret_cast<LPSTR>(&text), 0,
                                  reinterpret_cast<va_list*>(inserts));
    CLocalMemory owner(text);
    int result = length == 0 ? Fail("FormatMessage") : 0;
    FreeLibrary(file);
    if (result != 0)
        return result;
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text, 1, length, stdout);
    return 0;
}

// ---------------------------------------------------------------------------
// Sections.

// A section someone else holds under the publisher's name: committed (a
// squatter, with the default descriptor) or only reserved. Wine lets a
// process write into a reserved page (VirtualQuery says MEM_RESERVE); on
// Windows the write would fault. A section of the name that still exists (a
// watchdog's check holds it a moment after its owner let go) is not taken:
// creation is retried for up to a second. With `fresh` false, a section
// that exists is written into instead (a forger).
int HoldSection(DWORD flags, const char* text, bool fresh) {
    CHandle mapping;
    for (int tries = 0; tries < 1000; ++tries) {
        mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | flags, 0,
                                         kPageSize, LIVECHECK_SECTION_NAME));
        if (!mapping)
            return Fail("CreateFileMapping");
        if (!fresh || GetLastError() != ERROR_ALREADY_EXISTS)
            break;
        mapping.reset();
        Sleep(1);
    }
    if (!mapping)
        return Fail("CreateFileMapping of a new section");
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return Fail("MapViewOfFile");
    std::vector<BYTE> bytes = Unescape(text);
    bytes.push_back(0);
    std::memcpy(view.get(), bytes.data(), bytes.size());
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

// An event under the publisher's name: a name taken by an object of another
// kind.
int HoldEvent() {
    CHandle event(CreateEventA(nullptr, TRUE, FALSE, LIVECHECK_SECTION_NAME));
    if (!event || GetLastError() == ERROR_ALREADY_EXISTS)
        return Fail("CreateEvent of a new event");
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

// "dacl=SDDL bytes=FIRST_8_BYTES" of the section, or "none ERROR" when it
// cannot be opened. Wine gives a section created without a descriptor an
// empty one.
int PrintSection() {
    CHandle mapping(OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, LIVECHECK_SECTION_NAME));
    if (!mapping) {
        std::printf("none %lu\n", GetLastError());
        return 0;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(mapping.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, nullptr, nullptr, &descriptor);
    CLocalMemory descriptorOwner(descriptor);
    if (result != ERROR_SUCCESS) {
        SetLastError(result);
        return Fail("GetSecurityInfo");
    }
    char* sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr))
        return Fail("ConvertSecurityDescriptorToStringSecurityDescriptor");
    CLocalMemory sddlOwner(sddl);
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view)
        return Fail("MapViewOfFile");
    std::printf("dacl=%s bytes=%s\n", sddl,
                Escape(static_cast<const BYTE*>(view.get()), 8).c_str());
    return 0;
}

// The SID of the account process PID runs as.
int PrintAccount(DWORD pid) {
    CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process)
        return Fail("OpenProcess");
    HANDLE opened = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &opened))
        return Fail("OpenProcessToken");
    CHandle token(opened);
    DWORD user[128] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size))
        return Fail("GetTokenInformation");
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid))
        return Fail("ConvertSidToStringSid");
    CLocalMemory sidOwner(sid);
    std::printf("%s\n", sid);
    return 0;
}

namespace {

// A watchdog's check holding the section: its handle, closed by CloseLater
// after `ms` ms.
struct CHeldCheck {
    HANDLE section;
    DWORD ms;
};

DWORD WINAPI CloseLater(LPVOID parameter) {
    CHeldCheck* held = static_cast<CHeldCheck*>(parameter);
    Sleep(held->ms);
    CHandle section(held->section);
    return 0;
}

} // namespace

// The publisher's section is closed while a watchdog's check still holds it
// (here a handle, closed `holdMs` ms later), and the publisher opens it
// again at once, as a restarted service does. Prints "reopen ok t=MS" or
// "reopen error=CODE t=MS", MS the time the second open took; exit code 0
// or 1.
int Reopen(DWORD holdMs) {
    LiveCheckPublisher first;
    if (!LiveCheckOpen(&first))
        return Fail("LiveCheckOpen");
    LiveCheckAlive(&first);
    CHandle check(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, LIVECHECK_SECTION_NAME));
    LiveCheckClose(&first);
    if (!check)
        return Fail("OpenFileMapping");
    CHeldCheck held = {check.get(), holdMs};
    CHandle closer(CreateThread(nullptr, 0, CloseLater, &held, 0, nullptr));
    if (!closer)
        return Fail("CreateThread");
    check.release();
    DWORD start = GetTickCount();
    LiveCheckPublisher second;
    BOOL opened = LiveCheckOpen(&second);
    DWORD error = GetLastError();
    DWORD took = GetTickCount() - start;
    LiveCheckClose(&second);
    WaitForSingleObject(closer.get(), INFINITE);
    if (opened)
        std::printf("reopen ok t=%lu\n", took);
    else
        std::printf("reopen error=%lu t=%lu\n", error, took);
    return opened ? 0 : 1;
}
