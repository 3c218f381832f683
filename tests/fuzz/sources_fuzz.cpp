// Any stored "Sources" value, of either list type, through the event-source
// registration on the simulated registry: adding and removing must stay
// within the bytes read and leave a list that holds the name exactly as
// often as expected.
#include <windows.h>
#include <winsim/winsim.h>

#include "BrisvelService.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

const char kApplication[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// Entries of a list as the event log reads it: up to the first empty entry
// or the end of the bytes.
std::vector<std::string> Entries(const std::vector<BYTE>& bytes) {
    std::vector<std::string> entries;
    size_t i = 0;
    while (i < bytes.size() && bytes[i] != 0) {
        std::string entry;
        while (i < bytes.size() && bytes[i] != 0)
            entry += static_cast<char>(bytes[i++]);
        entries.push_back(entry);
        ++i;
    }
    return entries;
}

size_t Count(const std::vector<std::string>& entries, const std::string& name) {
    size_t n = 0;
    for (const std::string& entry : entries)
        n += entry == name ? 1 : 0;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    winsim::reset();
    DWORD type = (data[0] & 1) ? REG_SZ : REG_MULTI_SZ;
    std::vector<BYTE> stored(data + 1, data + size);
    winsim::regSetValue(kApplication, "Sources", type, stored);
    std::vector<std::string> before = Entries(stored);
    {
        CBrisvelService service;
        if (service.AddEventSource("C:\\Brisvel\\brisvel.exe", 7) != ERROR_SUCCESS)
            std::abort();
        std::vector<BYTE> added = winsim::regValue(kApplication, "Sources")->bytes;
        if (winsim::regValue(kApplication, "Sources")->type != type)
            std::abort();
        std::vector<std::string> afterAdd = Entries(added);
        if (Count(afterAdd, "Ondrimar") !=
            (Count(before, "Ondrimar") == 0 ? 1 : Count(before, "Ondrimar")))
            std::abort();

        if (service.RemoveEventSource() != ERROR_SUCCESS)
            std::abort();
        std::vector<std::string> afterRemove =
            Entries(winsim::regValue(kApplication, "Sources")->bytes);
        if (Count(afterRemove, "Ondrimar") != 0)
            std::abort();
        // Every other entry is kept, in order.
        std::vector<std::string> others;
        for (const std::string& entry : afterAdd)
            if (entry != "Ondrimar")
                others.push_back(entry);
        if (afterRemove != others)
            std::abort();
    }
    if (winsim::openHandles() != 0 || !winsim::handleErrors().empty())
        std::abort();
    return 0;
}
