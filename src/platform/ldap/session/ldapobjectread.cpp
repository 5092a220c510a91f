#include "platform/ldap/session/ldapobjectread.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/schema/ldapschemaobjects.h"
#include "platform/ldap/session/ldaprequests.h"

#include <algorithm>
#include <utility>

namespace openldap {

namespace {

// Files a class object under its name, once, with its description; false
// for an object that can't be used.
bool addclass(entry&& object, schema& names, std::map<std::string, entry>& found)
{
    const std::string name = classobjectname(object);
    if (name.empty())
        return false;
    if (found.count(name))
        return true;
    if (!addclassobject(object, names))
        return false;
    found.emplace(name, std::move(object));
    return true;
}

std::vector<std::string> sorted(const std::unordered_set<std::string>& names)
{
    std::vector<std::string> result(names.begin(), names.end());
    std::sort(result.begin(), result.end());
    return result;
}

} // namespace

status nostructuralclass()
{
    return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
}

void objectread::guess(const std::string& container, const std::vector<std::string>& types)
{
    // The classes of a user account on Active Directory.
    static const std::vector<std::string> account = {"top", "person", "organizationalPerson", "user"};
    flights.send(purpose::auxiliaries, auxiliaryobjects(container));
    flights.send(purpose::classes, classobjects(container, account), account);
    if (!types.empty())
        flights.send(purpose::attributes, attributeobjects(container, types), types);
}

void objectread::start(const std::string& container, const std::vector<std::string>& classes,
                       const std::unordered_set<std::string>& types)
{
    // Which auxiliary classes the structural class brings is known only
    // from its object; all of them, a few, are read beside it instead of in
    // a round of their own (in the round that finds the entry already, on a
    // run that knew it would have to). The attributes' objects need nothing
    // the classes' give. A guess that doesn't cover the entry is asked again.
    if (!flights.inflight(purpose::auxiliaries))
        flights.send(purpose::auxiliaries, auxiliaryobjects(container));
    const std::vector<std::string> typenames = sorted(types);
    if (!flights.covers(purpose::attributes, typenames))
        flights.send(purpose::attributes, attributeobjects(container, typenames), typenames);
    if (!flights.covers(purpose::classes, classes))
        flights.send(purpose::classes, classobjects(container, classes), classes);
}

status objectread::read(const std::string& container, const std::vector<std::string>& classes,
                        const std::unordered_set<std::string>& types, classlayout& layout)
{
    start(container, classes, types);
    schema names;
    std::map<std::string, entry> found;
    int searches = 0;
    const status classesread = readclasses(container, classes, names, found, searches);
    if (!classesread.ok())
        return classesread;
    const std::vector<std::string> typenames = sorted(types);
    const std::size_t most = flights.namesasked(purpose::attributes);
    wire::pending answer =
        flights.takenamed(purpose::attributes, attributeobjects(container, typenames), typenames);
    const status read = takeattributes(answer, most, types, names);
    if (!read.ok())
        return read;
    layout = layoutof(names, classes);
    if (layout.structural.empty())
        return nostructuralclass();
    mylog.at(2) << "schema read from its objects: " << found.size() << " classes and " << types.size()
                << " attributes, in " << searches << (searches == 1 ? " round" : " rounds") << logend;
    return status();
}

status objectread::readclasses(const std::string& container, const std::vector<std::string>& classes,
                               schema& names, std::map<std::string, entry>& found, int& searches)
{
    // No schema has ten thousand auxiliary classes.
    wire::pending auxiliaries = flights.take(purpose::auxiliaries, auxiliaryobjects(container));
    const status read = finishobjects(auxiliaries, 10000,
                                      [&](entry&& object) { return addclass(std::move(object), names, found); });
    if (!read.ok())
        return read;
    std::unordered_set<std::string> asked;
    std::vector<std::string> wanted = classes;
    for (;;) {
        std::vector<std::string> ask;
        for (const std::string& name : wanted)
            if (!found.count(lower(name)) && asked.insert(lower(name)).second)
                ask.push_back(name);
        if (!ask.empty()) {
            // A superclass chain a few classes deep; more is no schema's.
            if (++searches > 8)
                return fail(LDAP_LOOP_DETECT, "the schema objects' classes name one another without end");
            const status named = askclasses(container, ask, names, found);
            if (!named.ok())
                return named;
        }
        // Every class's superclass; the structural class's auxiliary classes.
        const std::string structural = lower(names.structuralclass(classes));
        wanted.clear();
        for (const auto& object : found) {
            wanted.push_back(superclass(object.second));
            if (object.first == structural)
                for (std::string& name : auxiliaryclasses(object.second))
                    wanted.push_back(std::move(name));
        }
        wanted.erase(std::remove(wanted.begin(), wanted.end(), std::string()), wanted.end());
        if (ask.empty()) {
            if (!structural.empty()) {
                std::vector<const entry*> own;
                for (const std::string& name : auxiliaryclasses(found.at(structural)))
                    own.push_back(&found.at(lower(name)));
                addcontentrule(found.at(structural), own, names);
            }
            return status();
        }
    }
}

status objectread::askclasses(const std::string& container, const std::vector<std::string>& ask, schema& names,
                              std::map<std::string, entry>& found)
{
    // The entry's own classes were asked as the round began.
    const std::size_t most = flights.covers(purpose::classes, ask) ? flights.namesasked(purpose::classes) : ask.size();
    wire::pending answer = flights.takenamed(purpose::classes, classobjects(container, ask), ask);
    const status read =
        finishobjects(answer, most, [&](entry&& object) { return addclass(std::move(object), names, found); });
    if (!read.ok())
        return read;
    for (const std::string& name : ask)
        if (!found.count(lower(name)))
            return fail(LDAP_NO_SUCH_OBJECT, "no schema object for the class " + name);
    return status();
}

status objectread::takeattributes(wire::pending& request, std::size_t most,
                                  const std::unordered_set<std::string>& types, schema& names)
{
    std::unordered_set<std::string> named;
    const status read = finishobjects(request, most, [&](entry&& object) {
        const std::string name = lower(object.first("lDAPDisplayName"));
        if (!types.count(name))
            return true; // asked by a guess, not held by the entry
        if (!addattributeobject(object, names))
            return false;
        named.insert(name);
        return true;
    });
    if (!read.ok())
        return read;
    for (const std::string& type : types)
        if (!named.count(type))
            return fail(LDAP_NO_SUCH_OBJECT, "no schema object for the attribute " + type);
    return status();
}

status objectread::complete(const std::string& container, const std::unordered_set<std::string>& types,
                            classlayout& layout, bool& added)
{
    added = false;
    std::map<std::string, std::string> listed; // lower case -> as the lists name it
    for (const auto* names : {&layout.mandatory, &layout.optional})
        for (const std::string& name : *names)
            listed.emplace(lower(name), name);
    std::unordered_set<std::string> missing;
    for (const std::string& type : types)
        if (listed.count(type) && !layout.names.count(type))
            missing.insert(type);
    if (missing.empty())
        return status();
    const std::vector<std::string> asked = sorted(missing);
    schema names;
    wire::pending answer = flights.take(purpose::attributes, attributeobjects(container, asked));
    const status read = takeattributes(answer, asked.size(), missing, names);
    if (!read.ok())
        return read;
    for (const std::string& type : asked)
        addattribute(names, listed.at(type), layout);
    mylog.at(2) << "schema objects read for attributes the cached layout did not name: " << join(asked, ", ")
                << logend;
    added = true;
    return status();
}

status objectread::finishobjects(wire::pending& request, std::size_t most, const std::function<bool(entry&&)>& take)
{
    std::size_t sent = 0;
    std::string unfit;
    const status read = finishsearch(flights.link(), request, [&](entry&& object) {
        if (++sent > most)
            return false;
        const std::string dn = object.dn;
        if (!take(std::move(object)))
            unfit = dn;
        return unfit.empty();
    });
    if (!read.ok())
        return read;
    if (sent > most)
        return fail(LDAP_SIZELIMIT_EXCEEDED, "more schema objects than were asked for");
    if (!unfit.empty())
        return fail(LDAP_INVALID_SYNTAX, "the schema object " + unfit + " can't be used");
    return status();
}

} // namespace openldap
