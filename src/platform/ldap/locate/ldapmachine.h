// What the machine's own configuration says about its directory, for
// finding one when nothing names a server.
#pragma once

#include <string>

namespace openldap {

// The machine's Kerberos default realm (krb5.conf, read once a run); "" when
// none.
std::string kerberosrealm();

// The realm of the default principal of the user's credential cache
// (KRB5CCNAME, else the default cache): the domain the user logged on to;
// "" when there is no ticket.
std::string ticketrealm();

// The machine's DNS domain as the resolver has it, in lower case:
// resolv.conf's domain or first search domain, else what follows the host
// name's first dot; "" when none.
std::string dnsdomain();

// Whether libldap was left to its built-in default server (no URI or HOST in
// ldap.conf, ~/.ldaprc or the environment).
bool ldapunconfigured();

} // namespace openldap
