// Finding the directory with no configuration, as a domain-joined machine
// does: the domain from the Kerberos default realm (or the machine's DNS
// domain), its domain controllers from DNS SRV records.
#pragma once

#include <string>

namespace openldap {

// The machine's Kerberos default realm (krb5.conf); "" when none.
std::string kerberosrealm();

// Whether libldap was left to its built-in default server (no URI or HOST in
// ldap.conf, ~/.ldaprc or the environment).
bool ldapunconfigured();

// The domain controllers of the machine's domain as a libldap URI list, in
// priority and weight order; empty when there are none to be found.
std::string discoverdirectory();

} // namespace openldap
