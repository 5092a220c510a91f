// The schema cache: the class layouts worked out from a server's subschema,
// kept as a record file (ldaprecord.h) in the user's cache directory, one per
// server and subschema entry, so that a later run needn't read the whole
// subschema again.
//
// A file is used only while its key still matches what the server says in
// the same round as the entry: the subschema entry's modifyTimestamp and,
// where the root DSE names a schemaNamingContext (Active Directory), that
// entry's modifyTimeStamp. A file that is corrupt, truncated, of another
// version, not the user's own or behind a link is ignored and rewritten; a
// cache that can't be written only costs speed.
#pragma once

#include "platform/ldap/ldaprecord.h"
#include "platform/ldap/schema/ldaplayout.h"

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

class schemacache {
public:
    // Reads the cache file for `key` in `directory`, if there is a valid one
    // whose stamps match. Never throws for a missing or bad file.
    schemacache(const std::string& directory, const schemakey& key);

    // Whether there is a cache file for this server and subschema entry at
    // all: where there is none, the subschema will have to be read.
    static bool present(const std::string& directory, const std::string& server, const std::string& subentry);

    // The layout for an entry with these objectClass values, when known;
    // taken out of this cache (a run needs it once).
    bool take(const std::vector<std::string>& objectclasses, classlayout& layout);
    // Adds a layout and rewrites the file atomically (mode 600 in a mode 700
    // directory). A failure to write is logged at level 2 and otherwise
    // ignored.
    void store(const std::vector<std::string>& objectclasses, const classlayout& layout);

    // The file this cache uses ("" when there is no cache directory).
    const std::string& file() const { return record.where(); }

private:
    schemakey key;
    recordfile record;
    std::map<std::string, classlayout> layouts; // by their objectClass values
};

} // namespace openldap
