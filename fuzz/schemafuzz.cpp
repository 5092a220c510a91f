// libFuzzer target: arbitrary subschema descriptions, one a line, the first
// byte of each choosing the attribute ('a' attributeTypes, 'o' objectClasses,
// 'c' dITContentRules). Whatever a server sends, reading and walking the
// schema must neither crash, leak nor loop.
#include "platform/ldap/schema/ldapschema.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    openldap::schema names;
    std::vector<std::string> words;
    for (std::string line; std::getline(input, line);) {
        if (line.empty())
            continue;
        const char* kind = line[0] == 'a' ? "attributetypes" : line[0] == 'o' ? "objectclasses" : "ditcontentrules";
        names.add(kind, line.c_str() + 1);
        // Every quoted word may be a name the walk is asked about.
        for (std::size_t at = line.find('\''); at != std::string::npos;) {
            const std::size_t end = line.find('\'', at + 1);
            if (end == std::string::npos)
                break;
            words.push_back(line.substr(at + 1, end - at - 1));
            at = line.find('\'', end + 1);
        }
    }
    const std::string structural = names.structuralclass(words);
    std::vector<std::string> mandatory, optional;
    names.attributelists(structural.empty() && !words.empty() ? words.front() : structural, words, mandatory,
                         optional);
    for (const std::string& name : mandatory)
        if (name.empty() && names.attributename(name) != name)
            std::abort();
    for (const std::string& word : words)
        names.isstring(word);
    return 0;
}
