// What the user query needs of the schema for one entry: its structural
// class, the attribute names its classes declare, which of those hold text,
// and every name and OID by which the entry may carry them. Computed from
// the subschema, or read back from the schema cache.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace openldap {

class schema;

struct classlayout {
    std::string structural; // "" when the entry's classes have none
    std::vector<std::string> mandatory, optional;
    std::unordered_set<std::string> strings;            // lower-case first names
    std::unordered_map<std::string, std::string> names; // lower-case name or OID -> first name

    // The first name of an attribute description's type ("mail;lang-en",
    // "rfc822Mailbox", "0.9.2342.19200300.100.1.3" all give "mail"); the
    // type as written when it is none of the listed attributes.
    std::string firstname(const std::string& description) const;
    bool isstring(const std::string& name) const;
};

// The layout for an entry with these objectClass values.
classlayout layoutof(const schema& names, const std::vector<std::string>& objectclasses);
// Adds what `names` knows of the listed attribute `name` (its first name) to
// the layout: whether it holds text, and its names and OID.
void addattribute(const schema& names, const std::string& name, classlayout& layout);

} // namespace openldap
