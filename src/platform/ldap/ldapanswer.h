// Reading a server's answers as libldap hands them over: an entry's DN and
// attributes, an entry in place, a result's code.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace openldap {

struct entry;

struct messagefree {
    void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using message = std::unique_ptr<LDAPMessage, messagefree>;

// A search-result entry's DN ("" when it has none) and the whole entry.
std::string dnof(LDAP* ld, LDAPMessage* answer);
entry toentry(LDAP* ld, LDAPMessage* answer);

// An entry read in place: each attribute's values as views into the
// answer, which it owns. A subschema runs to megabytes, and is never copied
// whole: its reader (schema/ldapschema.h) keeps the answer instead.
struct inplaceentry {
    std::shared_ptr<const LDAPMessage> owner;
    std::vector<std::pair<std::string, std::vector<std::string_view>>> attributes;
};
inplaceentry readinplace(LDAP* ld, message answer);

// The result code a result message carries, or libldap's code for why it
// can't be read.
int resultof(LDAP* ld, LDAPMessage* answer);

} // namespace openldap
