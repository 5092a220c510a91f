// The schema steps of a run: which layout the user's entry has (its
// structural class and the attribute lists the query walks), from the
// schema cache while the schema's stamps say it still holds, else from the
// server's subschema. Its requests go out in the first round (ask,
// readahead); their answers are taken when the stamps or the layout are
// wanted.
#pragma once

#include "directory/status.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/ldapentry.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschemacache.h"

#include <string>
#include <unordered_set>

namespace openldap {

class schemaresolution {
public:
    // `serveruri` names the server for the cache; `cachedirectory` is ""
    // for no cache. REQUIRES: `server` outlives this.
    schemaresolution(connection& server, std::string cachedirectory, std::string serveruri);
    schemaresolution(const schemaresolution&) = delete;
    schemaresolution& operator=(const schemaresolution&) = delete;

    // Sends the reads of the schema's stamps that the cache needs: on Active
    // Directory (`schemacontext`, the schema container, not "") its
    // modifyTimeStamp; elsewhere the modifyTimestamp of the subschema entry
    // `subentry`, only for a cache file not confirmed lately. Abandons what
    // was asked before. REQUIRES: bind.
    void ask(const std::string& subentry, const std::string& schemacontext);
    // Sends the read of the subschema entry `subentry`, the one asked about,
    // when the cache holds nothing for it: it will be read anyway, so in
    // this round already.
    void readahead(const std::string& subentry);
    // Takes the stamps' answers; a stamp that can't be read leaves the cache
    // unused, nothing more.
    void takestamps();

    // The layout of the classes of `user`, whose subschema entry is its own
    // subschemaSubentry, else `rootsubentry`. Fails with the cause when the
    // subschema can't be read, names none, or holds none of the entry's
    // structural classes (a failure that only says the directory answered
    // ends the query normally).
    //
    // `requested` (attribute names in lower case) are the attributes a run
    // reads for its addresses; only those of the entry's attributes are
    // checked against a trusted cache file, so that a run that logs every
    // attribute decides exactly as one that doesn't. Null: all of them.
    status resolve(const entry& user, const std::string& rootsubentry,
                   const std::unordered_set<std::string>* requested, classlayout& layout);

private:
    // The whole subschema entry `subentry` read, its layout for `classes`
    // filed in `cache`.
    status readsubschema(const std::string& subentry, const std::vector<std::string>& classes, schemacache& cache,
                         classlayout& layout);

    connection& server;
    std::string cachedirectory;
    schemakey stamps;           // the server and subschema entry asked about
    std::string context;        // where the schema container's stamp was asked
    schemafile cached = schemafile::none; // the cache file for stamps.subentry
    connection::pending subschemastamp, schemastamp, subschemaread;
};

} // namespace openldap
