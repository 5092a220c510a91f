#include "platform/ldap/ldapschemaresolution.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/schema/ldapschemaobjects.h"

#include <algorithm>
#include <map>
#include <utility>

namespace openldap {

namespace {

// Whether every name of `wanted` is among `have`, in any letter case.
bool covers(const std::vector<std::string>& have, const std::vector<std::string>& wanted)
{
    std::unordered_set<std::string> names;
    for (const std::string& name : have)
        names.insert(lower(name));
    return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& name) { return names.count(lower(name)); });
}

// Files a class object under its name, once, with its description.
void addclass(entry&& object, schema& names, std::map<std::string, entry>& found)
{
    const std::string name = classobjectname(object);
    if (!name.empty() && !found.count(name) && addclassobject(object, names))
        found.emplace(name, std::move(object));
}

} // namespace

schemaresolution::schemaresolution(connection& server, std::string cachedirectory, std::string serveruri)
    : server(server), cachedirectory(std::move(cachedirectory))
{
    stamps.server = std::move(serveruri);
}

void schemaresolution::guess(const std::string& schemacontext, const std::vector<std::string>& types)
{
    // The classes of a user account on Active Directory.
    static const std::vector<std::string> account = {"top", "person", "organizationalPerson", "user"};
    guessed = schemacontext;
    schemastamp = server.sendread(schemacontext, {"modifyTimeStamp"});
    auxiliaryread = sendauxiliaries(schemacontext);
    classread = sendobjects(schemacontext, "classSchema", account, classobjectattributes);
    classreadnames = account;
    if (!types.empty()) {
        attributeread = sendobjects(schemacontext, "attributeSchema", types, attributeobjectattributes);
        attributereadnames = types;
    }
}

void schemaresolution::ask(const std::string& subentry, const std::string& schemacontext)
{
    // What was guessed of another schema container is of no use.
    const bool confirmed = !guessed.empty() && samedn(schemacontext, guessed);
    guessed.clear();
    if (!confirmed) {
        schemastamp.abandon();
        auxiliaryread.abandon();
        classread.abandon();
        attributeread.abandon();
    }
    subschemastamp.abandon();
    stamps.subentry = subentry;
    context = schemacontext;
    cached = subentry.empty() ? schemafile::none : schemacache::look(cachedirectory, stamps.server, subentry);
    stamps.trusted = schemacontext.empty() && cached == schemafile::trusted;
    // Active Directory moves its schema container's stamp with any schema
    // change, and reading it costs nothing; elsewhere a read of the
    // subschema entry may make the server build all of it, so it is asked
    // only of a file not confirmed lately (none to confirm: the subschema
    // read brings its own).
    if (!schemacontext.empty() && !schemastamp.outstanding())
        schemastamp = server.sendread(schemacontext, {"modifyTimeStamp"});
    else if (schemacontext.empty() && cached == schemafile::unconfirmed)
        subschemastamp = server.sendread(subentry, {"modifyTimestamp"});
}

void schemaresolution::readahead(const std::string& subentry)
{
    if (cached != schemafile::none)
        return;
    if (!context.empty() && !auxiliaryread.outstanding())
        auxiliaryread = sendauxiliaries(context);
    else if (context.empty() && !subentry.empty())
        subschemaread = server.sendsubschema(subentry);
}

void schemaresolution::takestamps()
{
    entry found;
    if (subschemastamp.outstanding() && server.finishread(subschemastamp, stamps.subentry, found).ok())
        stamps.subschemastamp = found.first("modifyTimestamp");
    if (schemastamp.outstanding() && server.finishread(schemastamp, context, found).ok())
        stamps.schemastamp = found.first("modifyTimeStamp");
}

status schemaresolution::resolve(const entry& user, const std::string& rootsubentry,
                                 const std::unordered_set<std::string>* requested, classlayout& layout)
{
    const std::vector<std::string> classes = user.values("objectClass");
    // Of the names, those of the entry's attributes are all it needs.
    const std::unordered_set<std::string> types = typesof(user);
    // With no file to confirm, the objects are asked before the stamps'
    // answers are waited for: in their round.
    if (!context.empty() && cached == schemafile::none)
        startobjects(classes, types);
    takestamps();
    std::string subentry = user.first("subschemaSubentry");
    if (subentry.empty())
        subentry = rootsubentry;
    if (subentry.empty())
        return fail(LDAP_NO_SUCH_OBJECT, "the server names no subschema subentry");
    // The stamps were read for the subschema entry asked about.
    schemakey key = stamps;
    if (!samedn(subentry, stamps.subentry))
        key = schemakey{stamps.server, subentry, "", "", false}; // no stamps were read for it
    schemacache cache(cachedirectory, key);
    std::unordered_set<std::string> watched;
    for (const std::string& type : types)
        if (!requested || requested->count(type))
            watched.insert(type);
    bool cachedlayout = cache.take(classes, layout, &types);
    if (cachedlayout && key.trusted && !knowsall(layout, watched)) {
        // The schema may have changed within the window the file is trusted.
        mylog.at(2) << "the entry holds an attribute the schema cache does not name: asking the subschema's stamp"
                    << logend;
        stamps.trusted = false;
        subschemastamp = server.sendread(stamps.subentry, {"modifyTimestamp"});
        takestamps();
        key = stamps;
        cache = schemacache(cachedirectory, key);
        cachedlayout = cache.take(classes, layout, &types);
    }
    if (cachedlayout) {
        mylog.at(2) << "schema cache used: " << cache.file()
                    << (key.trusted ? " (confirmed within " + std::to_string(schemacache::trustwindow / 86400) + " days)"
                                    : "")
                    << logend;
        if (!context.empty() && complete(types, layout))
            cache.store(classes, layout);
    } else {
        const status read = readlayout(subentry, classes, types, cache, layout);
        if (!read.ok())
            return read;
    }
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    return status();
}

status schemaresolution::readlayout(const std::string& subentry, const std::vector<std::string>& classes,
                                    const std::unordered_set<std::string>& types, schemacache& cache,
                                    classlayout& layout)
{
    if (!context.empty()) {
        const status objects = readobjects(classes, types, layout);
        if (objects.ok())
            cache.store(classes, layout);
        if (objects.ok() || objects.unreachable())
            return objects;
        mylog.at(2) << "the schema objects could not be read (" << objects.text() << "): reading the subschema"
                    << logend;
    }
    return readsubschema(subentry, classes, cache, layout);
}

connection::pending schemaresolution::sendobjects(const std::string& base, const char* objectclass,
                                                 const std::vector<std::string>& names,
                                                 const std::vector<const char*>& attributes)
{
    std::string filter = std::string("(&(objectClass=") + objectclass + ")(|";
    for (const std::string& name : names)
        filter += "(lDAPDisplayName=" + filtervalue(name) + ")";
    return server.sendsearch(base, LDAP_SCOPE_ONELEVEL, filter + "))", attributes, 0);
}

status schemaresolution::finishobjects(connection::pending& request, std::size_t most,
                                       const std::function<void(entry&&)>& take)
{
    std::size_t sent = 0;
    return server.finishsearch(request, [&](entry&& object) {
        take(std::move(object));
        return ++sent < most;
    });
}

connection::pending schemaresolution::sendauxiliaries(const std::string& base)
{
    return server.sendsearch(base, LDAP_SCOPE_ONELEVEL, "(&(objectClass=classSchema)(objectClassCategory=3))",
                             classobjectattributes, 0);
}

void schemaresolution::startobjects(const std::vector<std::string>& classes,
                                    const std::unordered_set<std::string>& types)
{
    // Which auxiliary classes the structural class brings is known only
    // from its object; all of them, a few, are read beside it instead of in
    // a round of their own (in the round that finds the entry already, on a
    // run that knew it would have to). The attributes' objects need nothing
    // the classes' give.
    if (!auxiliaryread.outstanding())
        auxiliaryread = sendauxiliaries(context);
    // A guess that doesn't cover what the entry holds is asked again.
    const std::vector<std::string> typenames(types.begin(), types.end());
    if (!attributeread.outstanding() || !covers(attributereadnames, typenames)) {
        attributeread = sendobjects(context, "attributeSchema", typenames, attributeobjectattributes);
        attributereadnames = typenames;
    }
    if (!classread.outstanding() || !covers(classreadnames, classes)) {
        classread = sendobjects(context, "classSchema", classes, classobjectattributes);
        classreadnames = classes;
    }
}

status schemaresolution::readobjects(const std::vector<std::string>& classes,
                                     const std::unordered_set<std::string>& types, classlayout& layout)
{
    startobjects(classes, types);
    schema names;
    std::map<std::string, entry> found;
    int rounds = 0;
    const status classesread = readclasses(classes, names, found, rounds);
    if (!classesread.ok())
        return classesread;
    std::unordered_set<std::string> named;
    const status read = finishobjects(attributeread, attributereadnames.size() + 1, [&](entry&& object) {
        const std::string name = lower(object.first("lDAPDisplayName"));
        if (types.count(name) && addattributeobject(object, names))
            named.insert(name);
    });
    if (!read.ok())
        return read;
    for (const std::string& type : types)
        if (!named.count(type))
            return fail(LDAP_NO_SUCH_OBJECT, "no schema object for the attribute " + type);
    layout = layoutof(names, classes);
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    mylog.at(2) << "schema read from its objects: " << found.size() << " classes and " << named.size()
                << " attributes, in " << rounds << (rounds == 1 ? " round" : " rounds") << logend;
    return status();
}

status schemaresolution::readclasses(const std::vector<std::string>& classes, schema& names,
                                     std::map<std::string, entry>& found, int& rounds)
{
    // Auxiliary classes that can't be read so are asked by name. No schema
    // has ten thousand.
    const status auxiliaries =
        finishobjects(auxiliaryread, 10000, [&](entry&& object) { addclass(std::move(object), names, found); });
    if (auxiliaries.unreachable())
        return auxiliaries;
    std::unordered_set<std::string> asked;
    std::vector<std::string> wanted = classes;
    for (;;) {
        std::vector<std::string> ask;
        for (const std::string& name : wanted)
            if (!found.count(lower(name)) && asked.insert(lower(name)).second)
                ask.push_back(name);
        if (!ask.empty()) {
            // A superclass chain a few classes deep; more is no schema's.
            if (++rounds > 8)
                return fail(LDAP_LOOP_DETECT, "the schema objects' classes name one another without end");
            const status read = askclasses(ask, names, found);
            if (!read.ok())
                return read;
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

status schemaresolution::askclasses(const std::vector<std::string>& ask, schema& names,
                                    std::map<std::string, entry>& found)
{
    // The entry's own classes were asked as the round began.
    std::size_t expected = ask.size();
    connection::pending request;
    if (classread.outstanding()) {
        request = std::move(classread);
        expected = classreadnames.size();
    } else {
        request = sendobjects(context, "classSchema", ask, classobjectattributes);
    }
    const status read =
        finishobjects(request, expected + 1, [&](entry&& object) { addclass(std::move(object), names, found); });
    if (!read.ok())
        return read;
    for (const std::string& name : ask)
        if (!found.count(lower(name)))
            return fail(LDAP_NO_SUCH_OBJECT, "no schema object for the class " + name);
    return status();
}

bool schemaresolution::complete(const std::unordered_set<std::string>& types, classlayout& layout)
{
    std::map<std::string, std::string> listed; // lower case -> as the lists name it
    for (const auto* names : {&layout.mandatory, &layout.optional})
        for (const std::string& name : *names)
            listed.emplace(lower(name), name);
    std::vector<std::string> missing;
    for (const std::string& type : types)
        if (listed.count(type) && !layout.names.count(type))
            missing.push_back(type);
    if (missing.empty())
        return false;
    schema names;
    connection::pending request = sendobjects(context, "attributeSchema", missing, attributeobjectattributes);
    const status read =
        finishobjects(request, missing.size() + 1, [&](entry&& object) { addattributeobject(object, names); });
    if (!read.ok())
        return false; // the attributes are only not taken for text
    for (const std::string& type : missing)
        addattribute(names, listed.at(type), layout);
    mylog.at(2) << "schema objects read for attributes the cached layout did not name: " << join(missing, ", ")
                << logend;
    return true;
}

status schemaresolution::readsubschema(const std::string& subentry, const std::vector<std::string>& classes,
                                       schemacache& cache, classlayout& layout)
{
    connection::pending asked;
    const bool sent = subschemaread.outstanding() && samedn(subentry, stamps.subentry);
    if (!sent)
        asked = server.sendsubschema(subentry);
    inplaceentry subschema;
    const status read = server.finishsubschema(sent ? subschemaread : asked, subentry, subschema);
    if (!read.ok())
        return read;
    schema names;
    const std::string stamp = adddescriptions(subschema, names);
    layout = layoutof(names, classes);
    // Elsewhere than on Active Directory the layout is filed under the
    // stamp it was read with.
    if (context.empty())
        cache.reread(stamp);
    if (!layout.structural.empty())
        cache.store(classes, layout);
    return status();
}

} // namespace openldap
