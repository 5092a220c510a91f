#include "platform/ldap/session/ldaprequests.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/schema/ldapschemaobjects.h"
#include "platform/ldap/session/ldapidentity.h"

#include <utility>

namespace openldap {

namespace {

std::vector<std::string> strings(const std::vector<const char*>& names)
{
    return std::vector<std::string>(names.begin(), names.end());
}

// A one-level search of the schema container for the objects of this
// objectClass with these lDAPDisplayNames.
searchrequest objectsnamed(const std::string& container, const char* objectclass,
                           const std::vector<std::string>& names, const std::vector<const char*>& attributes)
{
    std::string filter = std::string("(&(objectClass=") + objectclass + ")(|";
    for (const std::string& name : names)
        filter += "(lDAPDisplayName=" + filtervalue(name) + ")";
    return searchrequest{container, searchrequest::scope::onelevel, filter + "))", strings(attributes), 0};
}

} // namespace

searchrequest rootdseread()
{
    return entryread("", {"namingContexts", "defaultNamingContext", "configurationNamingContext",
                          "schemaNamingContext", "subschemaSubentry", "supportedCapabilities"});
}

rootdse readroot(const entry& found)
{
    rootdse root;
    root.namingcontexts = found.values("namingContexts");
    root.defaultnamingcontext = found.first("defaultNamingContext");
    root.configurationnamingcontext = found.first("configurationNamingContext");
    root.schemanamingcontext = found.first("schemaNamingContext");
    root.subschemasubentry = found.first("subschemaSubentry");
    root.activedirectory = isactivedirectory(found.values("supportedCapabilities"));
    return root;
}

searchrequest entryread(const std::string& dn, std::vector<std::string> attributes)
{
    searchrequest request;
    request.base = dn;
    request.attributes = std::move(attributes);
    return request;
}

searchrequest accountsearch(const std::string& base, const std::string& filter, std::vector<std::string> attributes)
{
    return searchrequest{base, searchrequest::scope::subtree, filter, std::move(attributes), 2};
}

searchrequest netbiossearch(const std::string& configuration, const std::string& domaindn)
{
    return searchrequest{"CN=Partitions," + configuration, searchrequest::scope::onelevel,
                         "(&(objectClass=crossRef)(nCName=" + filtervalue(domaindn) + "))", {"nETBIOSName"}, 1};
}

searchrequest containerstamp(const std::string& container)
{
    return entryread(container, {"modifyTimeStamp"});
}

searchrequest subschemastamp(const std::string& subentry)
{
    return entryread(subentry, {"modifyTimestamp"});
}

std::string stampof(const entry& found)
{
    return found.first("modifyTimestamp");
}

searchrequest subschemaread(const std::string& subentry)
{
    // The stamp with the descriptions it stands for, for the schema cache.
    return entryread(subentry, {"attributeTypes", "objectClasses", "dITContentRules", "modifyTimestamp"});
}

searchrequest auxiliaryobjects(const std::string& container)
{
    return searchrequest{container, searchrequest::scope::onelevel,
                         "(&(objectClass=classSchema)(objectClassCategory=3))", strings(classobjectattributes), 0};
}

searchrequest classobjects(const std::string& container, const std::vector<std::string>& names)
{
    return objectsnamed(container, "classSchema", names, classobjectattributes);
}

searchrequest attributeobjects(const std::string& container, const std::vector<std::string>& names)
{
    return objectsnamed(container, "attributeSchema", names, attributeobjectattributes);
}

status finishsearch(wire& server, wire::pending& request, const std::function<bool(entry&&)>& take)
{
    std::size_t count = 0;
    const status result = server.finish(request, [&](entry&& found) {
        ++count;
        return take(std::move(found));
    });
    mylog.at(2) << "search found " << count << (count == 1 ? " entry" : " entries") << logend;
    return result;
}

status finishread(wire& server, wire::pending& request, const std::string& dn, entry& found)
{
    // Read through to the done answer, which comes right behind the entry,
    // rather than abandon the request.
    bool named = false;
    const status result = server.finish(request, [&](entry&& answer) {
        if (named)
            return false;
        named = samedn(answer.dn, dn);
        if (named)
            found = std::move(answer);
        return true;
    });
    if (!result.ok())
        return result;
    if (!named)
        return fail(LDAP_NO_SUCH_OBJECT, "the server sent no entry named " + dn);
    return status();
}

status finishsubschema(wire& server, wire::pending& request, const std::string& dn, inplaceentry& found)
{
    bool named = false;
    const status result = server.finishinplace(request, [&](inplaceentry&& answer) {
        if (!named && samedn(answer.dn, dn)) {
            found = std::move(answer);
            named = true;
        }
        return true;
    });
    if (!result.ok())
        return result;
    if (!named)
        return fail(LDAP_NO_SUCH_OBJECT, "the server sent no subschema entry " + dn);
    return status();
}

} // namespace openldap
