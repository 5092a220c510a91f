// Reading a server's answers as libldap hands them over: an entry's DN and
// attributes, a subschema's descriptions in place, a result's code.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>

namespace openldap {

struct entry;
class schema;

struct messagefree {
    void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using message = std::unique_ptr<LDAPMessage, messagefree>;

// A search-result entry's DN ("" when it has none) and the whole entry.
std::string dnof(LDAP* ld, LDAPMessage* answer);
entry toentry(LDAP* ld, LDAPMessage* answer);

// The subschema entry's descriptions, indexed in `into` where they stand in
// the answer, which `into` then keeps: a subschema runs to megabytes, and a
// copy of it would double what the run holds. Returns the entry's
// modifyTimestamp, "" when it has none.
std::string adddescriptions(LDAP* ld, message answer, schema& into);

// The result code a result message carries, or libldap's code for why it
// can't be read.
int resultof(LDAP* ld, LDAPMessage* answer);

} // namespace openldap
