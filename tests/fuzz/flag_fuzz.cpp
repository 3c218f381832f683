// Any section size and contents through the liveness check: only a section
// that starts with "1" and a NUL is alive, and nothing stays open.
#include <windows.h>
#include <winsim/winsim.h>

#include "LivenessMonitor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The comparison alone, on a block of exactly the fuzzed size.
    char* block = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bytes.copy(block, size);
    bool expected = size >= 2 && data[0] == '1' && data[1] == 0;
    if (FlagSaysAlive(block, size) != expected)
        std::abort();
    std::free(block);

    // The whole check on a section holding the bytes (a section is at least
    // a page, filled with zeros after its contents).
    winsim::reset();
    winsim::setSection("Ondrimar_LiveCheck", bytes);
    bool alive = size >= 1 && data[0] == '1' && (size == 1 || data[1] == 0);
    if (LiveCheck() != alive)
        std::abort();
    if (winsim::openHandles() != 0)
        std::abort();
    return 0;
}
