// The schema steps of a run: which layout the user's entry has (its
// structural class and the attribute lists the query walks), from the
// schema cache while the schema's stamps say it still holds, else from
// Active Directory's schema objects (the few a run needs), else from the
// server's subschema (all of it). Its requests go out in the first round
// (ask, readahead); their answers are taken when the stamps or the layout
// are wanted.
#pragma once

#include "directory/status.h"
#include "platform/ldap/ldapconnection.h"
#include "platform/ldap/ldapentry.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/schema/ldapschemacache.h"

#include <functional>
#include <map>
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

    // A first run's guess, sent in its first round, of what a run without a
    // cache reads next on Active Directory: the stamp of the schema
    // container `schemacontext`, and the objects of every auxiliary class,
    // of a user account's classes and of the attribute types `types` (none:
    // not guessed). Kept only when ask() names the same container.
    // REQUIRES: bind; nothing asked before.
    void guess(const std::string& schemacontext, const std::vector<std::string>& types);
    // Sends the reads of the schema's stamps that the cache needs: on Active
    // Directory (`schemacontext`, the schema container, not "") its
    // modifyTimeStamp; elsewhere the modifyTimestamp of the subschema entry
    // `subentry`, only for a cache file not confirmed lately. Abandons what
    // was asked before. REQUIRES: bind.
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
    // in or the next, where the schema's reads join them; a stamp that can't
    // be read leaves the cache unused, nothing more.
    void takestamps();
    // The layout for `classes` when the cache has none: from the schema
    // objects on Active Directory, else (or when they can't be read) from
    // the whole subschema entry `subentry`; filed in `cache`.
    status readlayout(const std::string& subentry, const std::vector<std::string>& classes,
                      const std::unordered_set<std::string>& types, schemacache& cache, classlayout& layout);
    // Sends the first reads of readobjects.
    void startobjects(const std::vector<std::string>& classes, const std::unordered_set<std::string>& types);
    // The layout for `classes` from the schema objects: the entry's classes
    // with the objects of its attribute `types` (lower case), then the
    // superclasses and the structural class's auxiliary classes, a round
    // for each step. Fails when any of them can't be found or read.
    status readobjects(const std::vector<std::string>& classes, const std::unordered_set<std::string>& types,
                       classlayout& layout);
    // The class objects for `classes`, their superclasses and the
    // structural class's auxiliary classes, added to `names` and kept in
    // `found` (by lower-case name) with the structural class's content rule;
    // `rounds` counts the searches by name.
    status readclasses(const std::vector<std::string>& classes, schema& names, std::map<std::string, entry>& found,
                       int& rounds);
    // One search for the class objects named `ask`; fails unless each came.
    status askclasses(const std::vector<std::string>& ask, schema& names, std::map<std::string, entry>& found);
    // A layout read from the schema objects names only the attributes its
    // entry held then: adds those of `types` that its lists name and it
    // doesn't. Returns whether it added any.
    bool complete(const std::unordered_set<std::string>& types, classlayout& layout);
    // Sends a search of the schema container `base` for the objects of
    // this objectClass with these lDAPDisplayNames.
    connection::pending sendobjects(const std::string& base, const char* objectclass,
                                    const std::vector<std::string>& names, const std::vector<const char*>& attributes);
    // Hands each object of the answer to `request` to `take`, until `most`
    // have come: one object a name is all a search by names may bring, and
    // a server that sends more is not read on.
    status finishobjects(connection::pending& request, std::size_t most, const std::function<void(entry&&)>& take);
    // Sends a search for every auxiliary class's object.
    connection::pending sendauxiliaries(const std::string& base);
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
    // The schema objects' first reads: every auxiliary class, the
    // attributes' and the entry's classes (classreadnames).
    connection::pending auxiliaryread, attributeread, classread;
    std::vector<std::string> classreadnames, attributereadnames;
    std::string guessed; // the schema container guess() asked of
};

} // namespace openldap
