#include "platform/ldap/ldapschemaresolution.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/ldapidentity.h"
#include "platform/ldap/schema/ldapschema.h"

#include <utility>

namespace openldap {

schemaresolution::schemaresolution(connection& server, std::string cachedirectory, std::string serveruri)
    : server(server), cachedirectory(std::move(cachedirectory))
{
    stamps.server = std::move(serveruri);
}

void schemaresolution::ask(const std::string& subentry, const std::string& schemacontext)
{
    subschemastamp.abandon();
    schemastamp.abandon();
    stamps.subentry = subentry;
    context = schemacontext;
    cached = subentry.empty() ? schemafile::none : schemacache::look(cachedirectory, stamps.server, subentry);
    stamps.trusted = schemacontext.empty() && cached == schemafile::trusted;
    // Active Directory moves its schema container's stamp with any schema
    // change, and reading it costs nothing; elsewhere a read of the
    // subschema entry may make the server build all of it, so it is asked
    // only of a file not confirmed lately (none to confirm: the subschema
    // read brings its own).
    if (!schemacontext.empty())
        schemastamp = server.sendread(schemacontext, {"modifyTimeStamp"});
    else if (cached == schemafile::unconfirmed)
        subschemastamp = server.sendread(subentry, {"modifyTimestamp"});
}

void schemaresolution::readahead(const std::string& subentry)
{
    if (!subentry.empty() && cached == schemafile::none)
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
    // Of the names, those of the entry's attributes are all it needs.
    const std::unordered_set<std::string> types = typesof(user);
    std::unordered_set<std::string> watched;
    for (const std::string& type : types)
        if (!requested || requested->count(type))
            watched.insert(type);
    bool cachedlayout = cache.take(classes, layout, &types);
    if (cachedlayout && key.trusted && !knowsall(layout, watched)) {
        // The schema may have changed within the hour the file is trusted.
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
                    << (key.trusted ? " (confirmed less than an hour ago)" : "") << logend;
    } else {
        const status read = readsubschema(subentry, classes, cache, layout);
        if (!read.ok())
            return read;
    }
    if (layout.structural.empty())
        return fail(LDAP_OBJECT_CLASS_VIOLATION, "the entry's structural object class is not in the schema");
    return status();
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
