// errtext: prints the system's message text for an error code exactly as
// FormatMessageA returns it, less the CR LF the system puts at its end.
// The end-to-end scenarios use it to learn the platform's own wording at
// run time instead of carrying copies of message texts.
//
// usage: errtext CODE [FLAGS]
//   CODE   the error code, decimal or 0x-prefixed hexadecimal
//   FLAGS  FormatMessageA flags, default 0x1200 (from system, ignore
//          inserts); they must include FORMAT_MESSAGE_FROM_SYSTEM. With
//          FORMAT_MESSAGE_ALLOCATE_BUFFER (0x100), as in 0x3100, the system
//          allocates the text and it is released with LocalFree.
//
// The text goes to standard output in binary mode with no line end added.
// Exit code: 0 when printed; 1 when FormatMessageA fails (its error code is
// printed on standard error); 2 for a bad command line.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Parses an unsigned 32-bit number in C notation (decimal, 0x hex).
// Returns true and sets value only when the whole argument is a number.
bool ParseNumber(const char* text, DWORD& value) {
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || parsed > 0xFFFFFFFFUL)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// Returns the length of text without one trailing CR LF, if it has one.
size_t LengthWithoutLineEnd(const char* text, size_t length) {
    if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n')
        return length - 2;
    return length;
}

} // namespace

int main(int argc, char** argv) {
    DWORD code = 0;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (argc < 2 || argc > 3 || !ParseNumber(argv[1], code) ||
        (argc == 3 && !ParseNumber(argv[2], flags)) || (flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0) {
        std::fputs("usage: errtext CODE [FLAGS]  (FLAGS must include 0x1000)\n", stderr);
        return 2;
    }

    char fixed[4096];
    char* allocated = nullptr;
    const bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    char* text = fixed;
    DWORD length = 0;
    if (allocate) {
        length = FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<LPSTR>(&allocated), 0,
                                nullptr);
        text = allocated;
    } else {
        length = FormatMessageA(flags, nullptr, code, 0, fixed, sizeof(fixed), nullptr);
    }
    if (length == 0 || text == nullptr) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "errtext: FormatMessageA(0x%lx, %lu) failed: %lu\n",
                     static_cast<unsigned long>(flags), static_cast<unsigned long>(code),
                     static_cast<unsigned long>(error));
        if (allocated != nullptr)
            LocalFree(allocated);
        return 1;
    }

    _setmode(_fileno(stdout), _O_BINARY);
    const size_t shown = LengthWithoutLineEnd(text, length);
    const bool written = std::fwrite(text, 1, shown, stdout) == shown && std::fflush(stdout) == 0;
    if (allocated != nullptr)
        LocalFree(allocated);
    return written ? 0 : 1;
}
