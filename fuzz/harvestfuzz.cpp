// libFuzzer target: arbitrary bytes as an attribute value, in the C locale
// and as UTF-8. Checks what must hold for every value, whatever it holds.
#include "directory/harvest.h"

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Values reach the harvester as NUL-terminated text.
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::string text = value.c_str();
    const stringlist properties{"mail", "proxyAddresses", "mail"};

    stringlist results;
    harvestaddresses(properties, "mail", value.c_str(), results);

    std::set<std::string> distinct;
    for (const std::string& result : results) {
        if (result.find('@') == std::string::npos || text.find(result) == std::string::npos)
            std::abort();
        if (!distinct.insert(result).second)
            std::abort();
        // Never a piece of a longer non-ASCII word: some occurrence of it
        // stands clear of bytes from 0x80 up.
        bool clear = false;
        for (std::size_t at = text.find(result); !clear && at != std::string::npos; at = text.find(result, at + 1)) {
            const std::size_t end = at + result.size();
            clear = (at == 0 || static_cast<unsigned char>(text[at - 1]) < 0x80) &&
                    (end == text.size() || static_cast<unsigned char>(text[end]) < 0x80);
        }
        if (!clear)
            std::abort();
    }

    const stringlist first = results;
    harvestaddresses(properties, "mail", value.c_str(), results);
    harvestaddresses(properties, "Mail", value.c_str(), results);
    harvestaddresses(properties, "other", value.c_str(), results);
    if (results != first)
        std::abort();

    // The same bytes as UTF-8 text, read character by character: still only
    // distinct pieces of the value that hold an '@'.
    if (std::setlocale(LC_CTYPE, "C.UTF-8")) {
        stringlist characters;
        harvestaddresses(properties, "mail", value.c_str(), characters);
        std::setlocale(LC_CTYPE, "C");
        std::set<std::string> seen;
        for (const std::string& result : characters)
            if (result.find('@') == std::string::npos || text.find(result) == std::string::npos ||
                !seen.insert(result).second)
                std::abort();
    }
    return 0;
}
