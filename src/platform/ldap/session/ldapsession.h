// What a run asks of its directory server once bound, over the wire
// (ldapwire.h): who the user is and their entry, in the first round
// (ldapfirstround.h), with the site check (ldapsitecheck.h); then the
// layout of the entry's classes (ldapschemaresolution.h). ldaprounds.h says
// what goes out in each round.
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/session/ldapfirstround.h"
#include "platform/ldap/session/ldaprounds.h"
#include "platform/ldap/session/ldapschemaresolution.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace openldap {

class session {
public:
    // `cachedirectory` keeps what the last run found and the schema cache
    // ("" for none). REQUIRES: `server` is bound and outlives this.
    session(wire& server, std::string cachedirectory);
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    // Sends the first round and finds the user: `entryattributes` are what
    // the entry is read with; a `sitedomain` (not "") asks the controller
    // which site the client is in, `remembered` being the site the locator
    // went by. The next run's guesses are remembered. Fails when the user
    // can't be found (an entry found but not read: found.entryfailure).
    status finduser(const std::vector<std::string>& entryattributes, const std::string& sitedomain,
                    const std::string& remembered, userfound& found);

    // The layout of the user's classes (schemaresolution::resolve).
    // REQUIRES: finduser, and its entry read.
    status resolve(const userfound& found, const std::unordered_set<std::string>* requested, classlayout& layout);

private:
    wire& server;
    std::string cachedirectory;
    rounds flights;
    schemaresolution schema;
};

} // namespace openldap
