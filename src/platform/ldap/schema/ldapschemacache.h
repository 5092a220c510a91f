// The schema cache: the class layouts worked out from a server's subschema,
// kept as a record file (ldaprecord.h) in the user's cache directory, one per
// server and subschema entry, so that a later run needn't read the whole
// subschema again.
//
// A file is used only while its key still matches what the server says:
// - where the root DSE names a schemaNamingContext (Active Directory), that
//   entry's modifyTimeStamp, asked in the same round as the user's entry on
//   every run (any schema change moves it, and reading it costs the server
//   nothing);
// - elsewhere, the subschema entry's modifyTimestamp. Reading that makes
//   some servers build the whole subschema, the cost of dozens of logons
//   with a large schema, and none gives a cheaper sign of a schema change;
//   so a file confirmed less than 365 days ago (its modification time) is
//   trusted without asking, unless the user's entry holds, among the
//   attributes read for addresses, one its layout does not name, or has
//   other classes. A file is confirmed when a later run finds the stamp it
//   was read with unchanged; one freshly read is not (it is dated just
//   past the window), so that one answer alone never lasts the window.
//   What a change the entry doesn't show can leave out of date meanwhile:
//   the class's declared attributes, and which of them hold text, the
//   printed addresses included (an attribute that became binary, one the
//   class no longer declares).
// A file that is corrupt, truncated, of another version, not the user's own
// or behind a link is ignored and rewritten; a cache that can't be written
// only costs speed.
#pragma once

#include "platform/ldap/common/ldaprecord.h"
#include "platform/ldap/schema/ldapindex.h"
#include "platform/ldap/schema/ldaplayout.h"

#include <ctime>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace openldap {

struct schemakey {
    std::string server;    // the URI of the server the run is connected to
    std::string subentry;  // the subschema entry's DN
    std::string subschemastamp; // its modifyTimestamp, or "" (not asked)
    std::string schemastamp;    // the schema container's modifyTimeStamp, or ""
    // Whether the file's own subschema stamp is taken without asking: the
    // file was confirmed within the trust window.
    bool trusted = false;

    // Whether the key can tell a changed schema from an unchanged one.
    bool usable() const;
};

// What the cache file for a server's subschema entry is worth before it is
// read.
enum class schemafile {
    none,        // no file: the subschema will have to be read
    unconfirmed, // a file whose stamp has to be asked
    trusted,     // confirmed within the trust window
};

class schemacache {
public:
    // How long a file confirmed elsewhere than on Active Directory is
    // trusted without asking.
    static constexpr std::time_t trustwindow = 365 * 86400;

    // Reads the cache file for `key` in `directory`, if there is a valid one
    // whose stamps match. Never throws for a missing or bad file.
    schemacache(const std::string& directory, const schemakey& key);

    // What the file for this server and subschema entry is worth, from its
    // modification time alone (a time to come is not trusted).
    static schemafile look(const std::string& directory, const std::string& server, const std::string& subentry);

    // The layout for an entry with these objectClass values, when known.
    // Given `types` (attribute types in lower case, see typesof), only
    // their names and OIDs are read: all that an index of an entry holding
    // no other type needs to find attributes by the lists' (first) names.
    // A file whose subschema stamp was asked and matched is marked
    // confirmed now, as far as the trust window matters.
    bool take(const std::vector<std::string>& objectclasses, classlayout& layout,
              const std::unordered_set<std::string>* types = nullptr);
    // The subschema was read whole and came with this modifyTimestamp:
    // the cache is for that stamp from now on, and keeps the file's other
    // layouts only when they were for the same.
    void reread(const std::string& subschemastamp);
    // Adds a layout and rewrites the file atomically (mode 600 in a mode 700
    // directory), when the key is usable. A failure to write is logged at
    // level 2 and otherwise ignored.
    void store(const std::vector<std::string>& objectclasses, const classlayout& layout);

    // The file this cache uses ("" when there is no cache directory).
    const std::string& file() const { return record.where(); }

private:
    schemakey key;
    recordfile record;
    std::string filestamp;     // the subschema stamp the file holds
    std::time_t modified = -1; // the file's modification time
    std::string contents; // the file as read
    // Where each layout's lines stand in `contents`, by its objectClass values.
    std::map<std::string, std::pair<std::size_t, std::size_t>> blocks;
};

// The attribute types an entry holds, in lower case and without options.
std::unordered_set<std::string> typesof(const entry& found);

// Whether every one of an entry's attribute types (typesof; objectClass and
// subschemaSubentry aside) is one the layout names: an entry that holds
// another is of a schema newer than the layout's.
bool knowsall(const classlayout& layout, const std::unordered_set<std::string>& types);

} // namespace openldap
