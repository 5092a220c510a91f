// A directory entry as read: its DN and each attribute with its values.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace openldap {

struct classlayout;

struct entry {
    std::string dn;
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes;

    // The values of an attribute, matched by this name in any letter case;
    // an attribute description's options ("userCertificate;binary") are
    // passed over. (entryindex knows the schema's other names too.)
    std::vector<std::string> values(const std::string& name) const;
    // The first value, or "".
    std::string first(const std::string& name) const;
};

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
