// An entry's attributes under the schema's names.
#pragma once

#include "platform/ldap/schema/ldapentry.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace openldap {

struct classlayout;

// An entry's attributes indexed once under the schema's first name for
// each, so that looking up every attribute of a wide entry stays linear.
// Both the entry and the layout must outlive the index.
class entryindex {
public:
    entryindex() = default;
    entryindex(const entry& indexed, const classlayout& names);

    // The values of the attribute known by `name` (any of its names or its
    // OID, in any letter case), over all of its options.
    std::vector<std::string> values(const std::string& name) const;

private:
    const classlayout* names = nullptr;
    std::unordered_map<std::string, std::vector<const std::vector<std::string>*>> attributes;
};

} // namespace openldap
