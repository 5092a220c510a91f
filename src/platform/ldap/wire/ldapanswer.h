// Reading a server's answers as libldap hands them over: an entry's DN and
// attributes, an entry in place, a result's code.
#pragma once

#include "platform/ldap/schema/ldapentry.h"

#include <ldap.h>

#include <memory>
#include <string>

namespace openldap {

struct messagefree {
    void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using message = std::unique_ptr<LDAPMessage, messagefree>;

// A search-result entry's DN ("" when it has none) and the whole entry.
std::string dnof(LDAP* ld, LDAPMessage* answer);
entry toentry(LDAP* ld, LDAPMessage* answer);
// The whole entry in place: it keeps the answer.
inplaceentry readinplace(LDAP* ld, message answer);

// The result code a result message carries, or libldap's code for why it
// can't be read.
int resultof(LDAP* ld, LDAPMessage* answer);

} // namespace openldap
