// The schema steps of a run: which layout the user's entry has (its
// structural class and the attribute lists the query walks), from the
// schema cache while the schema's stamps say it still holds, else from
// Active Directory's schema objects (the few a run needs, ldapobjectread.h),
// else from the server's subschema (all of it). Its requests go out in the
// first rounds (guess, ask, readahead); their answers are taken when the
// layout is wanted. Every answer follows the one rule of ldaprounds.h.
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschemacache.h"
#include "platform/ldap/session/ldapobjectread.h"
#include "platform/ldap/session/ldaprounds.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace openldap {

class schemaresolution {
public:
    // `serveruri` names the server for the cache; `cachedirectory` is ""
    // for no cache. REQUIRES: `flights` outlives this.
    schemaresolution(rounds& flights, std::string cachedirectory, std::string serveruri);
    schemaresolution(const schemaresolution&) = delete;
    schemaresolution& operator=(const schemaresolution&) = delete;

    // A first run's guess, sent in its first round, of what a run without a
    // cache reads next on Active Directory: the stamp of the schema
    // container `schemacontext`, and the objects of every auxiliary class,
    // of a user account's classes and of the attribute types `types` (none:
    // not guessed). Kept only when ask() names the same container.
    void guess(const std::string& schemacontext, const std::vector<std::string>& types);
    // Sends the reads of the schema's stamps that the cache needs: on Active
    // Directory (`schemacontext`, the schema container, not "") its
    // modifyTimeStamp; elsewhere the modifyTimestamp of the subschema entry
    // `subentry`, only for a cache file not confirmed lately. Abandons what
    // was asked of another container.
    void ask(const std::string& subentry, const std::string& schemacontext);
    // When the cache holds nothing for the subschema entry `subentry`, the
    // one asked about, sends what will be read anyway, so in this round
    // already: on Active Directory the auxiliary classes' objects, elsewhere
    // the subschema entry.
    void readahead(const std::string& subentry);

    // The layout of the classes of `user`, whose subschema entry is its own
    // subschemaSubentry, else `rootsubentry`. Fails with the cause when
    // neither the schema objects nor the subschema can be read, it names
    // none, or holds none of the entry's structural classes (a failure that
    // only says the directory answered ends the query normally).
    //
    // `requested` (attribute names in lower case) are the attributes a run
    // reads for its addresses; only those of the entry's attributes are
    // checked against a trusted cache file, so that a run that logs every
    // attribute decides exactly as one that doesn't. Null: all of them.
    status resolve(const entry& user, const std::string& rootsubentry,
                   const std::unordered_set<std::string>* requested, classlayout& layout);

private:
    // Takes the stamps' answers, which come in the round the entry is found
    // in or the next, where the schema's reads join them. Fails when one
    // can't be read or holds no stamp.
    status takestamps();
    // The layout for `classes` when the cache has none: from the schema
    // objects on Active Directory, else (or when they can't be read) from
    // the whole subschema entry `subentry`; filed in `cache`.
    status readlayout(const std::string& subentry, const std::vector<std::string>& classes,
                      const std::unordered_set<std::string>& types, schemacache& cache, classlayout& layout);
    // The whole subschema entry `subentry` read, its layout for `classes`
    // filed in `cache`; `why` says why, when it is a fallback (logged).
    status readsubschema(const std::string& subentry, const std::vector<std::string>& classes, schemacache& cache,
                         classlayout& layout, const char* why = nullptr, const status& cause = status());
    void sendsubschema(const std::string& subentry);

    rounds& flights;
    objectread objects{flights};
    std::string cachedirectory;
    schemakey stamps;    // the server and subschema entry asked about
    std::string context; // where the schema container's stamp was asked
    schemafile cached = schemafile::none; // the cache file for stamps.subentry
};

} // namespace openldap
