// The user query over one LDAP connection: the session of the LDAP backend.
//
// The backend in three wings:
//   ./        the session: this class (directoryldap.cpp opens the session
//             and finds the user's entry, ldapaccount.cpp searches for the
//             account), the connection and its requests (ldapconnection.h),
//             who the user is (ldapidentity.h), text (ldaptext.h), the
//             last-run record (ldaplastrun.h), the record files all three
//             records are kept in (ldaprecord.h), and where every failure's
//             text is written (ldapfailure.h).
//   locate/   finding a domain controller when nothing names a server: the
//             policy (ldaplocator.h), the seam a test scripts it through
//             (ldaplocateenv.h), the machine's side of that seam
//             (ldapmachineenv.cpp, ldapmachine.h, ldapnetwork.h), the ping
//             (ldapnetlogon.h) and the site record (ldapsite.h).
//   schema/   what the subschema says of an entry: the descriptions
//             (ldapschema.h), the layout of one entry's classes
//             (ldaplayout.h), the entry and its index (ldapentry.h) and the
//             layout record (ldapschemacache.h).
// The session fails over between the locator's controllers itself, and the
// connection knows nothing of how its server was found.
#pragma once

#include "directory/userdirectory.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/ldaplastrun.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschemacache.h"
#include "platform/platform.h"

#include <clocale>
#include <string>
#include <vector>

namespace openldap {

// An attribute's short name or OID, as a request may name it.
bool isdescriptor(const std::string& name);

// The user query over one LDAP connection. The user's entry is read once,
// and every later step (the name, the schema class, each attribute) is

// answered from it and from the schema, as ADSI answers from its cache.
class directory : public userdirectory {
public:
    void want(const std::vector<std::string>& properties, bool everything) override
    {
        wanted = {"objectClass", "subschemaSubentry"};
        if (everything)
            wanted.push_back("*");
        // The requested names even with "*", which leaves out operational
        // attributes: logging must not change what is found. A name no
        // attribute can have ("", "a b") is left out: a server may refuse
        // the whole read for it, and it can't match anyway.
        for (const std::string& name : properties)
            if (isdescriptor(name))
                wanted.push_back(name);
        entryattributes.clear();
        for (const std::string& name : wanted)
            entryattributes.push_back(name.c_str());
    }

    status start() override
    {
        // Only to learn the user's character set for converting values; the
        // log's time stamps keep the "C" locale.
        std::setlocale(LC_CTYPE, "");
        connection::startsasl();
        return status();
    }
    void stop() override {}

    status opensession() override;
    void closesession() override { server.close(); }

    status finduser(std::string& dn) override;

    // The entry was read in the same round as finding the user; its failure
    // is this step's.
    status openuser() override { return entryfailure; }
    void closeuser() override { user = entry(); }

    status objectname(std::string& name) override
    {
        // The DN as the server writes it, which "Who am I?" may have normalised.
        name = tonarrow(firstrdn(user.dn.empty() ? userdn : user.dn));
        return status();
    }

    status schemapath(std::string& path) override;

    status openclass() override
    {
        attributes = entryindex(user, layout);
        return status();
    }
    void closeclass() override { attributes = entryindex(); }

    status openlist(listkind kind, std::size_t& count) override
    {
        list = kind == listkind::mandatory ? &layout.mandatory : &layout.optional;
        count = list->size();
        return status();
    }
    void closelist() override { list = nullptr; }

    bool attributename(std::size_t index, std::string& name) override
    {
        name = tonarrow((*list)[index]);
        return true;
    }

    readresult readattribute(std::size_t index, attributevalue& value, status&) override
    {
        const std::vector<std::string> values = attributes.values((*list)[index]);
        if (values.empty())
            return readresult::notfound;
        // Several values, or a value that isn't text, is "not a string".
        value.isstring = values.size() == 1 && layout.isstring((*list)[index]);
        if (value.isstring)
            value.text = tonarrow(values.front(), &value.substituted);
        return readresult::ok;
    }

private:
    // The account search this run made: its base, account and filter.
    struct accountsearch {
        std::string base, filter;
        openldap::account wanted;
    };

    status openlocated(locator& find);
    // The first round after the bind: "Who am I?", the root DSE, and what
    // the last run found; then the user's entry, confirmed or asked again.
    void firstround(connection::pending& who, connection::pending& rootread, connection::pending& guess);
    status findentry(const std::string& whoami, connection::pending& rootread, connection::pending& guess);
    void sendstamps(const std::string& subentry, const std::string& schemacontext);
    void finishstamps();
    // The user's entry, by reading it or by the account search; `guess` is
    // the last run's request, when this run asks the same.
    status readentry(connection::pending* guess);
    status searchaccount(const std::string& whoami, connection::pending* guess);
    status searchfor(connection::pending& request);
    std::string netbiosname();
    // What the account search reads: the entry's attributes, and those that
    // show it is the account searched for.
    std::vector<const char*> accountread() const
    {
        std::vector<const char*> names = entryattributes;
        names.insert(names.end(), accountattributes.begin(), accountattributes.end());
        return names;
    }

    // What the entry is read with: every attribute, or only those of use.
    std::vector<std::string> wanted = {"*", "subschemaSubentry"};
    std::vector<const char*> entryattributes = {"*", "subschemaSubentry"};

    std::string cachedirectory; // "" for none
    connection server;
    rootdse root;
    status rootfailure;  // why the root DSE couldn't be read
    status entryfailure; // why the user's entry couldn't be read
    connection::pending subschemastamp, schemastamp, subschemaread;
    schemakey stamps;
    std::string stampcontext; // where the schema container's stamp was asked
    schemafile cached = schemafile::none; // the cache file for stamps.subentry
    accountsearch searched;
    bool known = false; // whether `last` holds what the last run found
    lastrun last;
    std::string userdn;
    entry user;
    classlayout layout;
    entryindex attributes;
    const std::vector<std::string>* list = nullptr;
};

} // namespace openldap
