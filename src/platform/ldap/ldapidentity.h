// The rules that decide who the user is and where to look for the entry:
// pure functions of what the server and the system said, so that they can be
// tested without either.
#pragma once

#include <string>
#include <vector>

namespace openldap {

// A name without its "DOMAIN\" prefix and its "@REALM" suffix.
std::string barename(const std::string& name);

// The DN that a "Who am I?" answer names when it is an entry of the
// directory ("dn:X" with X below one of `namingcontexts`); "" otherwise
// (an authentication identity such as "dn:...,cn=auth", a "u:" answer).
std::string whoamientry(const std::string& whoami, const std::vector<std::string>& namingcontexts);

// Whether `dn` lies below one of `namingcontexts` (not equal to one).
bool innamingcontext(const std::string& dn, const std::vector<std::string>& namingcontexts);

// The account name to search for: the "u:" name of a "Who am I?" answer
// unless it is a SID, else the SASL user name unless it is a DN, else the
// login name; each without domain or realm. "" when there is none.
std::string accountname(const std::string& whoami, const std::string& saslname, const std::string& loginname);

// The base of the account search: the configured base, else the root DSE's
// default naming context, else its first naming context; "" when none.
std::string searchbase(const std::string& configured, const std::string& defaultnamingcontext,
                       const std::vector<std::string>& namingcontexts);

// The host named by the first URI of a libldap URI list; "" for a local
// socket (ldapi://) or a URI that doesn't parse.
std::string urihost(const std::string& uris);

// An account search filter for `name`, escaped for use in a filter.
std::string accountfilter(const std::string& name);

} // namespace openldap
