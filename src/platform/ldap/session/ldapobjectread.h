// Active Directory's schema objects, read for the layout of one entry's
// classes (ldapschemaobjects.h says how an object maps to a description):
// the few a run needs, where the subschema entry describes the whole
// forest. Each read's answer follows the one rule of ldaprounds.h: a
// failure here makes the caller read the subschema, unless it says the
// connection is gone or silent (status::unreachable).
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/session/ldaprounds.h"

#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace openldap {

// The failure of a layout that has none of the entry's structural classes,
// whichever reading it came from.
status nostructuralclass();

class objectread {
public:
    // REQUIRES: `flights` outlives this.
    explicit objectread(rounds& flights) : flights(flights) {}

    // A first run's guess, in the schema container `container`: every
    // auxiliary class, a user account's classes, and the attribute types
    // `types` (none: not guessed).
    void guess(const std::string& container, const std::vector<std::string>& types);
    // Sends what read() starts with that is not yet in flight: every
    // auxiliary class, the entry's `classes` and its attribute `types`.
    void start(const std::string& container, const std::vector<std::string>& classes,
               const std::unordered_set<std::string>& types);
    // The layout for `classes` from the objects: the entry's classes with
    // the objects of its attribute `types` (lower case), then the
    // superclasses and the structural class's auxiliary classes, a round
    // for each step. Fails when any of them can't be found or used.
    status read(const std::string& container, const std::vector<std::string>& classes,
                const std::unordered_set<std::string>& types, classlayout& layout);
    // A layout read from the objects names only the attributes its entry
    // held then: adds those of `types` that its lists name and it doesn't,
    // from their objects. `added` says whether there were any.
    status complete(const std::string& container, const std::unordered_set<std::string>& types,
                    classlayout& layout, bool& added);

private:
    // The class objects for `classes`, their superclasses and the
    // structural class's auxiliary classes, added to `names` and kept in
    // `found` (by lower-case name) with the structural class's content rule;
    // `rounds` counts the searches by name.
    status readclasses(const std::string& container, const std::vector<std::string>& classes, schema& names,
                       std::map<std::string, entry>& found, int& searches);
    // One search for the class objects named `ask`; fails unless each came.
    status askclasses(const std::string& container, const std::vector<std::string>& ask, schema& names,
                      std::map<std::string, entry>& found);
    // The attribute objects of `types` (lower case) from `request`, added
    // to `names`; fails unless each came, fit for a description.
    status takeattributes(wire::pending& request, std::size_t most, const std::unordered_set<std::string>& types,
                          schema& names);
    // Hands each object of the answer to `take`: more than `most` (a search
    // by names brings one object a name), or one that `take` finds unfit,
    // fails.
    status finishobjects(wire::pending& request, std::size_t most, const std::function<bool(entry&&)>& take);

    rounds& flights;
};

} // namespace openldap
