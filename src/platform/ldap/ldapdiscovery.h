// What the machine's own configuration says about its directory, for
// finding one when nothing names a server.
#pragma once

#include <string>

namespace openldap {

// The machine's Kerberos default realm (krb5.conf, read once a run); "" when
// none.
std::string kerberosrealm();

// Whether libldap was left to its built-in default server (no URI or HOST in
// ldap.conf, ~/.ldaprc or the environment).
bool ldapunconfigured();

} // namespace openldap
