// The account search: who the user is when "Who am I?" names no entry.
#include "platform/ldap/ldapdirectory.h"

#include "log/mylog.h"
#include "platform/ldap/locate/ldapmachine.h"

#include <pwd.h>
#include <unistd.h>

namespace openldap {

namespace {

std::string loginname()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}


// Finding a server with nothing configured: the most it may take, and the

} // namespace

std::string directory::netbiosname()
{
    // Active Directory publishes it on the domain's crossRef object.
    if (root.configurationnamingcontext.empty() || root.defaultnamingcontext.empty())
        return std::string();
    std::string name;
    server.search("CN=Partitions," + root.configurationnamingcontext, LDAP_SCOPE_ONELEVEL,
                  "(&(objectClass=crossRef)(nCName=" + filtervalue(root.defaultnamingcontext) + "))",
                  {"nETBIOSName"}, 1, [&](entry&& crossref) {
                      name = crossref.first("nETBIOSName");
                      return false;
                  });
    return name;
}

status directory::searchaccount(const std::string& whoami, connection::pending* guess)
{
    const std::string source = accountsource(whoami, server.option(LDAP_OPT_X_SASL_USERNAME), loginname());
    if (barename(source).empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    searched.base = searchbase(server.option(LDAP_OPT_DEFBASE), root.defaultnamingcontext, root.namingcontexts);
    if (searched.base.empty()) {
        if (!rootfailure.ok())
            return rootfailure;
        return fail(LDAP_NO_SUCH_OBJECT, "no search base: the server names no naming context");
    }
    domainnames own{dnsdomainof(root.defaultnamingcontext.empty() ? searched.base : root.defaultnamingcontext),
                    kerberosrealm(), std::string()};
    searched.wanted = resolveaccount(source, own);
    if (searched.wanted.whole && hasnetbiosprefix(source)) {
        own.netbios = netbiosname();
        searched.wanted = resolveaccount(source, own);
    }
    searched.filter = accountfilter(searched.wanted, root.activedirectory);
    // The last run's search answers this one only if it was the same search.
    const bool same = guess && last.base == searched.base && last.filter == searched.filter;
    connection::pending asked;
    if (!same)
        asked = server.sendsearch(searched.base, LDAP_SCOPE_SUBTREE, searched.filter, accountread(), 2);
    return searchfor(same ? *guess : asked);
}

status directory::searchfor(connection::pending& request)
{
    // Asked for two at most: a server that sends more is not counted on to
    // have sent the right one.
    std::vector<entry> found;
    std::size_t sent = 0;
    const status result = server.finishsearch(request, [&](entry&& match) {
        if (isaccount(match, searched.wanted, searched.base))
            found.push_back(std::move(match));
        else
            mylog.at(2) << "passed over " << match.dn << ": not the account searched for" << logend;
        return ++sent <= 2 && found.size() < 2;
    });
    const std::string& name = searched.wanted.name;
    const bool limited = result.code() == static_cast<std::uint32_t>(LDAP_SIZELIMIT_EXCEEDED);
    if (!result.ok() && !limited)
        return result;
    if (found.empty() && sent <= 2)
        return fail(LDAP_NO_RESULTS_RETURNED, "no directory entry for the account " + name + " under " + searched.base);
    if (found.size() != 1 || sent > 2 || limited)
        return fail(LDAP_MORE_RESULTS_TO_RETURN,
                    "several directory entries for the account " + name + " under " + searched.base);
    user = std::move(found.front());
    userdn = user.dn;
    return status();
}

} // namespace openldap
