// The small files a run keeps between runs (the schema layouts, what the
// last run found, the client's site), all written and read the same way:
// private to the user (mode 600 in a mode 700 directory), written to a new
// file that is then renamed over the old one, and sealed with a checksum
// line, so that a file that was changed, cut short, is not the user's own or
// is a link is never taken for a record. A record that can't be read is no
// record; one that can't be written costs only speed.
#pragma once

#include "platform/ldap/common/ldaptext.h"

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace openldap {

// The user's cache directory for usermail: $XDG_CACHE_HOME/usermail, else
// ~/.cache/usermail, created private when missing and made private when it
// is the user's own; "" when there is none to be had safely. A run looks it
// up once and hands it to each record. It also keeps the directory small:
// records unused for 30 days and temporary files that killed runs left are
// removed (reading a record counts as using it).
std::string findcachedirectory();

// One record file in `directory` ("" stands for no directory: nothing is
// read or written).
class recordfile {
public:
    recordfile(const std::string& directory, const std::string& name)
        : path(directory.empty() ? std::string() : directory + "/" + name)
    {
    }

    // The body as it was written; "" when the file is missing, is not the
    // user's regular file, or its checksum doesn't match. Reading counts as
    // using the record (see findcachedirectory); given `modified`, it is set
    // to the file's modification time, which is left alone, for a record
    // whose time says more (see schemacache): only its access time marks the
    // use. Never throws but std::bad_alloc.
    std::string read(std::time_t* modified = nullptr) const;
    // Replaces the file with `body` and its checksum. On false the cause has
    // been logged at level 2.
    bool write(const std::string& body) const;
    // The file's modification time; -1 when there is no file, or it is not
    // the user's regular file.
    std::time_t modified() const;
    // Sets the file's modification time to now; a failure is ignored.
    void touch() const;
    // Sets the file's modification time to `modified` and its access time to
    // now (it is in use): for a record whose modification time is its
    // confirmation (see schemacache), one written but not yet confirmed. A
    // failure is ignored.
    void backdate(std::time_t modified) const;
    const std::string& where() const { return path; }

private:
    std::string path;
};

// A record's lines, read in place.
class recordlines {
public:
    // `text` must outlive this.
    explicit recordlines(std::string_view text) : text(text) {}
    // The next line, without its line break; false after the last.
    bool next(std::string_view& line);
    // Where the next line starts.
    std::size_t offset() const { return at; }

private:
    std::string_view text;
    std::size_t at = 0;
};

// The value of a "NAME value" line; "" when the line is another field's.
std::string field(std::string_view line, std::string_view name);

// Whether every value can stand on a line of its own.
bool oneline(const std::vector<std::string>& values);

} // namespace openldap
