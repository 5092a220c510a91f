#include "platform/ldap/session/ldapsession.h"

#include "platform/ldap/session/ldaplastrun.h"
#include "platform/ldap/session/ldapsitecheck.h"

#include <optional>
#include <utility>

namespace openldap {

session::session(wire& server, std::string cachedirectory)
    : server(server), cachedirectory(std::move(cachedirectory)), flights(server),
      schema(flights, this->cachedirectory, server.serveruri())
{
}

status session::finduser(const std::vector<std::string>& entryattributes, const std::string& sitedomain,
                         const std::string& remembered, userfound& found)
{
    const std::string identity = server.saslname();
    // The server by its URI: local sockets have no host to tell them apart.
    const std::string uri = server.serveruri();
    lastrun last;
    const bool known = readlastrun(cachedirectory, uri, identity, last);
    firstround round(flights, schema, known ? &last : nullptr, entryattributes);
    std::optional<sitecheck> site;
    if (!sitedomain.empty())
        site.emplace(flights, sitedomain, remembered);
    // Round 1: the user and the schema's stamps, then the site.
    round.send();
    if (site)
        site->send();
    const status result = round.finish(found);
    if (!result.ok())
        return result;
    if (site)
        site->finish(cachedirectory);
    const lastrun now = found.remembered();
    if (found.entryfailure.ok() && !(known && now == last))
        writelastrun(cachedirectory, uri, identity, now);
    return status();
}

status session::resolve(const userfound& found, const std::unordered_set<std::string>* requested,
                        classlayout& layout)
{
    return schema.resolve(found.user, found.root.subschemasubentry, requested, layout);
}

} // namespace openldap
