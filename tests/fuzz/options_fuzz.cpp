// Any argument vector through the option walk: the walk must stay within the
// vector, and every value it returns must point into one of the arguments.
#include "OptionWalk.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is split at zero bytes into the arguments; each argument is
    // its own heap block, so a read past any of them shows.
    std::vector<std::string> texts(1, "brisvel.exe");
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            texts.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    texts.push_back(current);

    std::vector<char*> argv;
    for (const std::string& text : texts) {
        char* copy = static_cast<char*>(std::malloc(text.size() + 1));
        text.copy(copy, text.size());
        copy[text.size()] = '\0';
        argv.push_back(copy);
    }
    argv.push_back(nullptr);

    static const char before[] = "before";
    CCommandOptions options =
        WalkOptions(static_cast<int>(texts.size()), argv.data(), before, before);

    for (LPCSTR value : {options.m_accountName, options.m_password}) {
        if (value == nullptr || value == before)
            continue;
        bool inside = false;
        for (size_t i = 0; i < texts.size(); ++i)
            inside = inside || (value >= argv[i] && value <= argv[i] + texts[i].size());
        if (!inside)
            std::abort();
    }
    for (char* copy : argv)
        std::free(copy);
    return 0;
}
