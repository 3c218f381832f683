// eventprobe: what the event-log scenario needs beside the helper.
//
//   eventprobe text MODULE ID INSERT   the message ID of MODULE's message
//                                      table, formatted with INSERT as its
//                                      one insert the way Event Viewer does,
//                                      written byte for byte
//   eventprobe section BYTES           hold "Ondrimar_LiveCheck" (an existing
//                                      one, or a new page) with BYTES written
//                                      at its start; prints "holding" and
//                                      waits until the process is ended
// BYTES take \xNN for any byte. Exit code 0 on success, 1 on failure, 2 for
// a bad command line.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Handles.h"

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "eventprobe: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

// Loaded as data, as Event Viewer loads a source's message file: only its
// resources are used.
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

int HoldSection(const char* escaped) {
    std::string bytes;
    for (const char* p = escaped; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'x' && p[2] && p[3]) {
            char hex[3] = {p[2], p[3], 0};
            bytes += static_cast<char>(std::strtoul(hex, nullptr, 16));
            p += 3;
        } else {
            bytes += *p;
        }
    }
    CHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                       "Ondrimar_LiveCheck"));
    if (!mapping)
        return Fail("CreateFileMapping");
    CMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return Fail("MapViewOfFile");
    std::memcpy(view.get(), bytes.data(), bytes.size());
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "text" && argc == 5)
        return PrintMessage(argv[2], std::strtoul(argv[3], nullptr, 0), argv[4]);
    if (command == "section" && argc == 3)
        return HoldSection(argv[2]);
    std::fputs("usage: eventprobe text MODULE ID INSERT | section BYTES\n", stderr);
    return 2;
}
