// The schema cache: the class layouts worked out from a server's subschema,
// kept in the user's cache directory ($XDG_CACHE_HOME/usermail, else
// ~/.cache/usermail), one file per server and subschema entry, so that a
// later run needn't read the whole subschema again.
//
// A file is used only while its key still matches what the server says in
// the same round as the entry: the subschema entry's modifyTimestamp and,
// where the root DSE names a schemaNamingContext (Active Directory), that
// entry's modifyTimeStamp. A file that is corrupt, truncated, of another
// version, not the user's own or behind a link is ignored and rewritten; a
// cache that can't be written only costs speed.
#pragma once

#include "platform/ldap/ldaplayout.h"

#include <map>
#include <string>
#include <vector>

namespace openldap {

struct schemakey {
    std::string server;    // the URI of the server the run is connected to
    std::string subentry;  // the subschema entry's DN
    std::string subschemastamp; // its modifyTimestamp
    std::string schemastamp;    // the schema container's modifyTimeStamp, or ""

    // Whether the stamps can tell a changed schema from an unchanged one.
    bool usable() const;
};

// What the last run against a server learned for this identity: where the
// user's entry was and how it was found, and where the schema's stamps are.
// The next run asks for all of it in the same round as "Who am I?" and the
// root DSE, and uses the answers only when that round confirms them.
struct lastrun {
    std::string dn;            // the user's entry
    bool searched = false;     // found by the account search, not "Who am I?"
    std::string base, filter;  // that search's
    std::string subentry;      // the root DSE's subschemaSubentry
    std::string schemacontext; // the root DSE's schemaNamingContext, or ""

    bool operator==(const lastrun& other) const
    {
        return dn == other.dn && searched == other.searched && base == other.base && filter == other.filter &&
               subentry == other.subentry && schemacontext == other.schemacontext;
    }
};

// Reads and writes the record for a server and identity (the SASL user
// name of the bind). As with the schema cache, a record that can't be read
// or trusted is no record, and one that can't be written costs only speed.
bool readlastrun(const std::string& server, const std::string& identity, lastrun& last);
void writelastrun(const std::string& server, const std::string& identity, const lastrun& last);

// The site the domain's controllers last said this client is in ("" for
// none, or no answer), for a while: an hour for a site, ten minutes for none.
// False when there is no record, or an outdated or untrustworthy one.
bool readsite(const std::string& domain, std::string& site);
void writesite(const std::string& domain, const std::string& site);

class schemacache {
public:
    // Reads the cache file for `key`, if there is a valid one whose stamps
    // match. Never throws for a missing or bad file.
    explicit schemacache(const schemakey& key);

    // Whether there is a cache file for this server and subschema entry at
    // all: where there is none, the subschema will have to be read.
    static bool present(const std::string& server, const std::string& subentry);

    // The layout for an entry with these objectClass values, when known;
    // taken out of this cache (a run needs it once).
    bool take(const std::vector<std::string>& objectclasses, classlayout& layout);
    // Adds a layout and rewrites the file atomically (mode 600 in a mode 700
    // directory). A failure to write is logged at level 2 and otherwise
    // ignored.
    void store(const std::vector<std::string>& objectclasses, const classlayout& layout);

    // The file this cache uses ("" when there is no cache directory).
    const std::string& file() const { return path; }

private:
    schemakey key;
    std::string path;
    std::map<std::string, classlayout> layouts; // by their objectClass values
};

} // namespace openldap
