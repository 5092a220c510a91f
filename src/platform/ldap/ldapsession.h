// One connection to the directory, and the few requests the user query
// makes over it: the bind, "Who am I?", the root DSE, the account search,
// the user's entry and the subschema.
#pragma once

#include "platform/ldap/ldapschema.h"

#include <ldap.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// An entry as read: its DN and each attribute with its values.
struct myldapentry {
    std::string dn;
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes;

    // The values of an attribute, matched by name in any letter case, and
    // through the schema's aliases and OIDs when one is given.
    std::vector<std::string> values(const std::string& name, const myldapschema* schema = nullptr) const;
};

class myldapsession {
public:
    myldapsession() = default;
    myldapsession(const myldapsession&) = delete;
    myldapsession& operator=(const myldapsession&) = delete;
    ~myldapsession() { close(); }

    bool open();
    void close();
    // Binds, then finds the user's DN; `entry` gets the user's entry when
    // finding it meant reading it.
    bool finduser(std::string& dn, myldapentry& entry);
    // Reads the user's entry, unless `entry` already is that entry.
    bool readentry(const std::string& dn, myldapentry& entry);
    bool readschema(const myldapentry& entry, myldapschema& schema);
    // The server's host name when the URI names one.
    std::string host() const;

private:
    bool fail(int code);
    bool fail(int code, const std::string& text);
    bool bind();
    void readrootdse();
    bool innamingcontext(const std::string& dn) const;
    std::string accountname(const std::string& whoami) const;
    int search(const std::string& base, int scope, const std::string& filter, std::vector<const char*> attributes,
               int sizelimit, std::vector<myldapentry>& found);
    int search(const std::string& base, int scope, const std::string& filter, std::vector<const char*> attributes,
               int sizelimit, const std::function<void(LDAPMessage*)>& onentry);

    LDAP* ld = nullptr;
    std::string uri;
    std::vector<std::string> namingcontexts;
    std::string defaultnamingcontext;
    std::string subschemasubentry;
};
