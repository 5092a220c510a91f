// A directory entry as read: its DN and each attribute with its values.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace openldap {

class schema;

struct entry {
    std::string dn;
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes;

    // The values of an attribute, matched by name in any letter case, and
    // through the schema's aliases and OIDs when one is given. An attribute
    // description's options ("userCertificate;binary") are passed over.
    std::vector<std::string> values(const std::string& name, const schema* names = nullptr) const;
    // The first value, or "".
    std::string first(const std::string& name) const;
};

} // namespace openldap
