#include "platform/ldap/session/ldapschemaresolution.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/session/ldapidentity.h"
#include "platform/ldap/session/ldaprequests.h"

#include <utility>

namespace openldap {

namespace {

// A stamp's read: the stamp, or why there is none to go by.
status readstamp(wire& server, wire::pending& request, const std::string& dn, std::string& stamp)
{
    entry found;
    const status read = finishread(server, request, dn, found);
    if (!read.ok())
        return read;
    stamp = stampof(found);
    if (stamp.empty())
        return fail(LDAP_NO_SUCH_ATTRIBUTE, "the server sent no modifyTimestamp of " + dn);
    return status();
}

} // namespace

schemaresolution::schemaresolution(rounds& flights, std::string cachedirectory, std::string serveruri)
    : flights(flights), cachedirectory(std::move(cachedirectory))
{
    stamps.server = std::move(serveruri);
}

void schemaresolution::guess(const std::string& schemacontext, const std::vector<std::string>& types)
{
    flights.send(purpose::schemastamp, containerstamp(schemacontext));
    objects.guess(schemacontext, types);
}

void schemaresolution::ask(const std::string& subentry, const std::string& schemacontext)
{
    // What was asked of another schema container is of no use.
    const searchrequest* asked = flights.asked(purpose::schemastamp);
    if (!asked || schemacontext.empty() || !samedn(asked->base, schemacontext))
        for (purpose why : {purpose::schemastamp, purpose::auxiliaries, purpose::classes, purpose::attributes})
            flights.abandon(why);
    flights.abandon(purpose::subschemastamp);
    stamps.subentry = subentry;
    context = schemacontext;
    cached = subentry.empty() ? schemafile::none : schemacache::look(cachedirectory, stamps.server, subentry);
    stamps.trusted = schemacontext.empty() && cached == schemafile::trusted;
    // Active Directory moves its schema container's stamp with any schema
    // change, and reading it costs nothing; elsewhere a read of the
    // subschema entry may make the server build all of it, so it is asked
    // only of a file not confirmed lately (none to confirm: the subschema
    // read brings its own).
    if (!schemacontext.empty() && !flights.inflight(purpose::schemastamp))
        flights.send(purpose::schemastamp, containerstamp(schemacontext));
    else if (schemacontext.empty() && cached == schemafile::unconfirmed)
        flights.send(purpose::subschemastamp, subschemastamp(subentry));
}

void schemaresolution::readahead(const std::string& subentry)
{
    if (cached != schemafile::none)
        return;
    if (!context.empty() && !flights.inflight(purpose::auxiliaries))
        flights.send(purpose::auxiliaries, auxiliaryobjects(context));
    else if (context.empty() && !subentry.empty())
        sendsubschema(subentry);
}

void schemaresolution::sendsubschema(const std::string& subentry)
{
    mylog.at(2) << "reading the subschema entry " << subentry << logend;
    flights.send(purpose::subschema, subschemaread(subentry));
}

status schemaresolution::takestamps()
{
    status result;
    if (flights.inflight(purpose::subschemastamp)) {
        wire::pending answer = flights.take(purpose::subschemastamp, subschemastamp(stamps.subentry));
        result = readstamp(flights.link(), answer, stamps.subentry, stamps.subschemastamp);
    }
    if (flights.inflight(purpose::schemastamp)) {
        wire::pending answer = flights.take(purpose::schemastamp, containerstamp(context));
        const status read = readstamp(flights.link(), answer, context, stamps.schemastamp);
        if (result.ok())
            result = read;
    }
    return result;
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
        objects.start(context, classes, types);
    status stamped = takestamps();
    if (stamped.unreachable())
        return stamped;
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
    // A stamp serves only to confirm a file: without one it decides nothing.
    if (!stamped.ok() && cached != schemafile::none)
        return readsubschema(subentry, classes, cache, layout, "the schema's stamp could not be read", stamped);
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
        flights.send(purpose::subschemastamp, subschemastamp(stamps.subentry));
        stamped = takestamps();
        if (stamped.unreachable())
            return stamped;
        if (!stamped.ok())
            return readsubschema(subentry, classes, cache, layout, "the schema's stamp could not be read", stamped);
        key = stamps;
        cache = schemacache(cachedirectory, key);
        cachedlayout = cache.take(classes, layout, &types);
    }
    if (!cachedlayout)
        return readlayout(subentry, classes, types, cache, layout);
    mylog.at(2) << "schema cache used: " << cache.file()
                << (key.trusted ? " (confirmed within " + std::to_string(schemacache::trustwindow / 86400) + " days)"
                                : "")
                << logend;
    if (!context.empty()) {
        bool added = false;
        const status completed = objects.complete(context, types, layout, added);
        if (completed.unreachable())
            return completed;
        if (!completed.ok())
            return readsubschema(subentry, classes, cache, layout, "the schema objects could not be read", completed);
        if (added)
            cache.store(classes, layout);
    }
    if (layout.structural.empty())
        return nostructuralclass();
    return status();
}

status schemaresolution::readlayout(const std::string& subentry, const std::vector<std::string>& classes,
                                    const std::unordered_set<std::string>& types, schemacache& cache,
                                    classlayout& layout)
{
    if (context.empty())
        return readsubschema(subentry, classes, cache, layout);
    const status read = objects.read(context, classes, types, layout);
    if (read.ok())
        cache.store(classes, layout);
    if (read.ok() || read.unreachable())
        return read;
    return readsubschema(subentry, classes, cache, layout, "the schema objects could not be read", read);
}

status schemaresolution::readsubschema(const std::string& subentry, const std::vector<std::string>& classes,
                                       schemacache& cache, classlayout& layout, const char* why,
                                       const status& cause)
{
    if (why)
        mylog.at(2) << why << " (" << cause.text() << "): reading the subschema" << logend;
    const searchrequest* asked = flights.asked(purpose::subschema);
    if (!asked || !samedn(asked->base, subentry))
        sendsubschema(subentry);
    wire::pending answer = flights.take(purpose::subschema, subschemaread(subentry));
    inplaceentry subschema;
    const status read = finishsubschema(flights.link(), answer, subentry, subschema);
    if (!read.ok())
        return read;
    schema names;
    const std::string stamp = adddescriptions(subschema, names);
    layout = layoutof(names, classes);
    // Elsewhere than on Active Directory the layout is filed under the
    // stamp it was read with.
    if (context.empty())
        cache.reread(stamp);
    if (layout.structural.empty())
        return nostructuralclass();
    cache.store(classes, layout);
    return status();
}

} // namespace openldap
