// A directory entry as read: its DN and each attribute with its values,
// copied, or in place in the answer it came in.
#pragma once

#include <memory>
#include <string>
#include <string_view>
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

// An entry read in place: each attribute's values as views into the
// answer, which `owner` keeps. A subschema runs to megabytes, and is never
// copied whole: its reader (ldapschema.h) keeps the answer instead.
struct inplaceentry {
    std::string dn;
    std::shared_ptr<const void> owner;
    std::vector<std::pair<std::string, std::vector<std::string_view>>> attributes;
};

} // namespace openldap
