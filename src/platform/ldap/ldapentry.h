// A directory entry as read: its DN and each attribute with its values.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace openldap {

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

} // namespace openldap
