// The first round after the bind, which finds the user: "Who am I?", the
// root DSE and, as the last run against this server found them, the user's
// entry (or the account search) and the schema's stamps, sent at once so
// that their answers take one round trip. The guessed answers are used only
// when "Who am I?" and the root DSE confirm them; otherwise the entry is
// asked for again.
//
// Where the last run found the entry by "Who am I?" on a server that is no
// Active Directory, the root DSE is not asked: some servers build it afresh
// for every read, at a cost like the search's own, and "Who am I?" naming
// the same entry confirms the guess alone. Only when it names another is
// the root DSE read, a round later.
//
// A first run bound with a Kerberos principal guesses the account search
// as Active Directory will call for it: under the principal's domain (or
// the configured base), by its name; and the schema objects that a run
// without a cache reads next, in the schema container of the forest named
// like that domain. A user's first logon, and every run that keeps no
// cache, then finds the entry and its schema in the first round too; a
// server that answers "Who am I?" with a DN, or names another container,
// only ignores those reads.
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/session/ldapidentity.h"
#include "platform/ldap/session/ldaplastrun.h"
#include "platform/ldap/session/ldaprequests.h"
#include "platform/ldap/session/ldaprounds.h"
#include "platform/ldap/session/ldapschemaresolution.h"

#include <string>
#include <vector>

namespace openldap {

// Who the user is, as the first round found it.
struct userfound {
    rootdse root;
    std::string dn; // the user's entry
    entry user;     // as read, when it could be
    status entryfailure; // why it couldn't be: reported when the entry is opened
    // The account search, when "Who am I?" named no entry.
    std::string base, filter;

    // What the next run may guess from this one.
    lastrun remembered() const
    {
        return lastrun{dn, !filter.empty(), base, filter, root.subschemasubentry, root.schemanamingcontext};
    }
};

class firstround {
public:
    // `last` is what the last run against this server found for this
    // identity (null: nothing), `entryattributes` what the user's entry is
    // read with; the schema's reads go through `schema`.
    // REQUIRES: `flights` and `schema` outlive this.
    firstround(rounds& flights, schemaresolution& schema, const lastrun* last,
               std::vector<std::string> entryattributes);
    firstround(const firstround&) = delete;
    firstround& operator=(const firstround&) = delete;

    // Sends the round's requests for the user and the schema (ldaprounds.h).
    void send();
    // Takes the round's answers and finds the user's entry. Fails when the
    // user can't be found; an entry found but not read is no failure here
    // (found.entryfailure).
    status finish(userfound& found);

private:
    status findentry(const std::string& whoami, userfound& found);
    status readentry(userfound& found);
    status searchaccount(const std::string& whoami, userfound& found);
    status searchfor(wire::pending& request, const account& wanted, userfound& found);
    std::string netbiosname(const rootdse& root);
    // Whether the round leaves the root DSE unasked (see above).
    bool rootunasked() const;
    // Sends a first run's guess of the account search (see above).
    void guessaccount();
    // What the account search reads: the entry's attributes, and those that
    // show it is the account searched for.
    std::vector<std::string> accountread() const;

    rounds& flights;
    schemaresolution& schema;
    const lastrun* last;
    std::vector<std::string> entryattributes;
    status rootfailure; // why the root DSE couldn't be read
};

} // namespace openldap
