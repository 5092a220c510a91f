// The user query over libldap: the LDAP backend's adapter to userdirectory.
//
// The backend in five wings:
//   ./        this adapter (directoryldap.cpp): opens the session, finds
//             the user, answers the query's steps from the entry read.
//   wire/     the requests, behind one seam (ldapwire.h): sent at once,
//             finished later; the libldap connection that implements it
//             (ldapconnection.h, ldapsasl.h, ldapanswer.h).
//   session/  what a run asks and when (ldaprounds.h has the table of
//             rounds): the first round that finds the user
//             (ldapfirstround.h) and who the user is (ldapidentity.h), the
//             schema steps (ldapschemaresolution.h, ldapobjectread.h), the
//             site check and the last-run record; ldapsession.h holds them.
//   common/   what every wing uses: text (ldaptext.h), where every
//             failure's text is written (ldapfailure.h), the record files
//             (ldaprecord.h), sockets (ldapsocket.h) and how long a run
//             waits (ldapwaiting.h).
//   locate/   finding a domain controller when nothing names a server: the
//             policy (ldaplocator.h), the seam a test scripts it through
//             (ldaplocateenv.h), the failover over the controllers
//             (ldapfailover.h), the machine's side of that seam
//             (ldapmachineenv.cpp, ldapmachine.h, ldapnetwork.h), the ping
//             (ldapnetlogon.h) and the site record (ldapsite.h).
//   schema/   what the schema says of an entry: the entry types
//             (ldapentry.h), the descriptions (ldapschema.h), Active
//             Directory's schema objects as descriptions
//             (ldapschemaobjects.h), the layout of one entry's classes
//             (ldaplayout.h), the entry's index (ldapindex.h) and the layout
//             record (ldapschemacache.h).
#pragma once

#include "directory/userdirectory.h"
#include "platform/ldap/common/ldapwaiting.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/schema/ldapindex.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/session/ldapfirstround.h"
#include "platform/ldap/session/ldapsession.h"
#include "platform/ldap/wire/ldapconnection.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace openldap {

// An attribute's short name or OID, as a request may name it.
bool isdescriptor(const std::string& name);

// The user query over one LDAP connection. The user's entry is read once,
// and every later step (the name, the schema class, each attribute) is
// answered from it and from the schema, as ADSI answers from its cache.
class directory : public userdirectory {
public:
    void want(const std::vector<std::string>& properties, bool everything) override;

    status start() override;
    void stop() override {}

    status opensession() override;
    void closesession() override;

    status finduser(std::string& dn) override;

    // The entry was read in the same round as finding the user; its failure
    // is this step's.
    status openuser() override { return found.entryfailure; }
    void closeuser() override { found.user = entry(); }

    status objectname(std::string& name) override;
    status schemapath(std::string& path) override;

    status openclass() override;
    void closeclass() override { attributes = entryindex(); }

    status openlist(listkind kind, std::size_t& count) override;
    void closelist() override { list = nullptr; }

    bool attributename(std::size_t index, std::string& name) override;
    readresult readattribute(std::size_t index, attributevalue& value, status& why) override;

private:
    status openlocated(locator& find);
    // Connects to the first of `find` that answers (`located`: found in DNS).
    status connectto(candidates& find, bool located);

    // What the entry is read with: every attribute, or only those of use.
    std::vector<std::string> wanted = {"*", "subschemaSubentry"};
    // The attributes read for addresses, in lower case; none: every one
    // (no want()).
    std::optional<std::unordered_set<std::string>> requested;

    std::string cachedirectory; // "" for none
    waiting wait; // how long the run may wait, for what
    connection server{wait};
    std::unique_ptr<session> asked; // once bound
    // A site to check with the connected controller: the domain it was
    // located in and the site remembered for it; "" domain: none.
    std::string sitedomain, remembered;
    userfound found;
    classlayout layout;
    entryindex attributes;
    const std::vector<std::string>* list = nullptr;
};

} // namespace openldap
