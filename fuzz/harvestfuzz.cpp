// libFuzzer target: arbitrary bytes as an attribute value. Checks what must
// hold for every value, whatever it holds.
#include "directory/harvest.h"

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
    }

    const stringlist first = results;
    harvestaddresses(properties, "mail", value.c_str(), results);
    harvestaddresses(properties, "Mail", value.c_str(), results);
    harvestaddresses(properties, "other", value.c_str(), results);
    if (results != first)
        std::abort();
    return 0;
}
