// The rules that decide who the user is and where to look for the entry:
// pure functions of what the server and the system said, so that they can be
// tested without either.
#pragma once

#include <string>
#include <vector>

namespace openldap {

struct entry;

// A name without its "DOMAIN\" prefix and its "@REALM" suffix.
std::string barename(const std::string& name);

// The DN that a "Who am I?" answer names when it is an entry of the
// directory ("dn:X" with X below one of `namingcontexts`); "" otherwise
// (an authentication identity such as "dn:...,cn=auth", a "u:" answer).
std::string whoamientry(const std::string& whoami, const std::vector<std::string>& namingcontexts);

// Whether two DNs name the same entry, however each is spelled.
bool samedn(const std::string& first, const std::string& second);

// Whether `dn` lies below one of `namingcontexts` (not equal to one).
bool innamingcontext(const std::string& dn, const std::vector<std::string>& namingcontexts);

// The directory's own names for its domain. A user name qualified with one
// of them ("EXAMPLE\alice", "alice@EXAMPLE.TEST") is this directory's
// account "alice"; one qualified with any other domain belongs to someone
// else's domain and must not be taken for the namesake here.
struct domainnames {
    std::string dnsdomain; // from the naming context: DC=example,DC=test is example.test
    std::string realm;     // the Kerberos realm
    std::string netbios;   // Active Directory's NetBIOS domain name
};

// The account to search for, and how.
struct account {
    std::string name;
    // The name is qualified with a foreign domain: it is searched as a whole
    // (userPrincipalName), never by its bare part.
    bool whole = false;
};

// The name the account search starts from, as given: the "u:" name of a
// "Who am I?" answer unless it is a SID, else the SASL user name unless it
// is a DN, else the login name. "" when there is none.
std::string accountsource(const std::string& whoami, const std::string& saslname, const std::string& loginname);

// The account `source` stands for: its bare name when every domain that
// qualifies it is one of `own` (in any letter case), else the whole name.
account resolveaccount(const std::string& source, const domainnames& own);

// Whether `source` carries a "DOMAIN\" prefix, which may be the NetBIOS name.
bool hasnetbiosprefix(const std::string& source);

// The DNS domain that a DN's domain components spell ("" without any).
std::string dnsdomainof(const std::string& dn);
// The DN of a DNS domain's domain components ("example.test" gives
// "DC=example,DC=test"); "" for a name that is no DNS domain.
std::string domaindn(const std::string& domain);

// The base of the account search: the configured base, else the root DSE's
// default naming context, else its first naming context; "" when none.
std::string searchbase(const std::string& configured, const std::string& defaultnamingcontext,
                       const std::vector<std::string>& namingcontexts);

// The host named by the first URI of a libldap URI list; "" for a local
// socket (ldapi://) or a URI that doesn't parse.
std::string urihost(const std::string& uris);

// The account search's filter, with the name escaped: the bare name as
// sAMAccountName or uid (on Active Directory, whose uid is not indexed, as
// sAMAccountName alone), a whole name as userPrincipalName. Throws
// std::bad_alloc as filtervalue does.
std::string accountfilter(const account& user, bool activedirectory = false);

// Whether a root DSE's supportedCapabilities say Active Directory (Samba's
// AD DC included).
bool isactivedirectory(const std::vector<std::string>& capabilities);

// The attributes that accountfilter matches, which a found entry must hold.
extern const std::vector<const char*> accountattributes;

// Whether `found` is the entry the account search asked for: below `base`
// (or `base` itself) and holding the account's name where accountfilter
// looks for it. A server may answer a search with any entry at all.
bool isaccount(const entry& found, const account& user, const std::string& base);

// A value escaped for use in a search filter. Throws std::bad_alloc when
// libldap can't allocate the escaped copy.
std::string filtervalue(const std::string& value);

} // namespace openldap
