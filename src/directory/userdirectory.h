// The directory seam: what the user query (queryuser.h) needs from a directory
// service, one operation per step of the query. Each platform supplies one
// backend, chosen by the build:
//   src/platform/adsi/   Windows: COM and the Active Directory Service Interfaces
//   src/platform/ldap/   Linux and other POSIX systems: OpenLDAP's libldap
// and the unit tests supply a scripted one (tests/unit/scripteddirectory.h).
// A third backend is one more folder under src/platform/ that implements this
// class and `makedirectory`, and one more branch in CMakeLists.txt.
//
// The protocol. Operations come in open/close pairs that nest; the query
// opens them in this order and closes them in the reverse order:
//
//   start                               ... stop
//     opensession                       ... closesession
//       finduser
//       openuser                        ... closeuser
//         objectname, schemapath
//         openclass                     ... closeclass
//           openlist                    ... closelist   (once per list kind)
//             attributename, readattribute
//
// An operation may be called only while every pair above it in this picture
// is open (REQUIRES below), and only one name list is open at a time.
//
// Results. An operation that can fail returns a `status` (status.h): ok, or
// the failure's code, text and whether the directory could not be reached.
// The query builds its message from that value; nothing is read back from
// the thread's last error.
//
// Exceptions. Any operation but the close* ones and `stop` may throw an
// exception of the std::exception family (a text that can't be converted,
// memory exhausted); what was opened before stays open and is closed by the
// caller as usual. close* and `stop` never throw.
//
// Text crosses this interface as narrow text in the process's character set
// (the ANSI code page on Windows, the locale's on POSIX).
#pragma once

#include "directory/status.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// One attribute value as the query sees it: a single string, or anything else.
struct attributevalue {
    bool isstring = false;
    std::string text;
    // Where in `text` the conversion to narrow text put a stand-in ('?') for
    // a character the character set can't hold, ascending.
    std::vector<std::size_t> substituted;
};

class userdirectory {
public:
    enum class listkind { mandatory, optional };
    enum class readresult { ok, notfound, failed };

    virtual ~userdirectory() = default;

    // A hint, given before anything else: the query will read only the
    // attributes named in `properties` unless `everything` (every attribute
    // is logged). A backend that fetches an entry whole may fetch less; one
    // that reads attribute by attribute may ignore it. Never throws.
    virtual void want(const std::vector<std::string>& properties, bool everything)
    {
        (void)properties;
        (void)everything;
    }

    // Starts the directory runtime for the calling thread (COM on Windows).
    // On failure nothing is held and nothing else may be called. After
    // success the caller calls stop() exactly once, after every close.
    virtual status start() = 0;
    virtual void stop() = 0;

    // Opens what knows the logged-on user: the system-info object (ADSI), the
    // connection to the directory server (LDAP).
    // REQUIRES: start.
    virtual status opensession() = 0;
    virtual void closesession() = 0;

    // The logged-on user's distinguished name, as narrow text for the log.
    // The backend keeps the name as the directory gave it for openuser, so a
    // character lost in the narrow copy doesn't change which object is bound.
    // (LDAP authenticates here: the user is whoever the bind proves.)
    // REQUIRES: opensession.
    virtual status finduser(std::string& dn) = 0;

    // Opens the user's own directory object, with the caller's credentials.
    // REQUIRES: finduser succeeded.
    virtual status openuser() = 0;
    virtual void closeuser() = 0;

    // The user object's relative name, and the path of its schema class.
    // REQUIRES: openuser.
    // A failure of schemapath, openclass or openlist ends the run when its
    // status says the directory could not be reached; an answer (no such
    // object, no access) ends the query normally.
    virtual status objectname(std::string& name) = 0;
    virtual status schemapath(std::string& path) = 0;

    // Opens the schema class named by the schema path.
    // REQUIRES: schemapath succeeded.
    virtual status openclass() = 0;
    virtual void closeclass() = 0;

    // Opens one of the class's attribute name lists; `count` is the number
    // of entries.
    // REQUIRES: openclass, and no list open.
    virtual status openlist(listkind kind, std::size_t& count) = 0;
    virtual void closelist() = 0;

    // Entries of the open list go by index, not by name: a backend reads the
    // attribute with the list's own entry (ADSI passes the element's BSTR),
    // so nothing is lost or changed through the narrow copy.
    // REQUIRES: openlist, index < count.
    //
    // The name at `index`; false for an entry that holds no name.
    virtual bool attributename(std::size_t index, std::string& name) = 0;
    // Reads the attribute named at `index` from the user object: notfound
    // when the object has no value for it, failed with its cause in `why`.
    virtual readresult readattribute(std::size_t index, attributevalue& value, status& why) = 0;
};

// The directory of the platform the program was built for.
std::unique_ptr<userdirectory> makedirectory();
