#include "platform/ldap/ldapfirstround.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/locate/ldapmachine.h"

#include <pwd.h>
#include <unistd.h>

#include <utility>

namespace openldap {

namespace {

std::string loginname()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}

} // namespace

firstround::firstround(connection& server, schemaresolution& schema, const lastrun* last,
                       std::vector<const char*> entryattributes)
    : server(server), schema(schema), last(last), entryattributes(std::move(entryattributes))
{
    who = server.sendwhoami();
    if (!rootunasked())
        rootread = server.sendread("", connection::rootattributes);
    if (last && !last->searched)
        guess = server.sendread(last->dn, this->entryattributes);
    else if (last)
        guess = server.sendsearch(last->base, LDAP_SCOPE_SUBTREE, last->filter, accountread(), 2);
    if (last)
        schema.ask(last->subentry, last->schemacontext);
    else
        guessaccount();
}

void firstround::guessaccount()
{
    const std::string principal = server.option(LDAP_OPT_X_SASL_USERNAME);
    const std::size_t at = principal.rfind('@');
    if (at == std::string::npos || principal.find('=') != std::string::npos)
        return;
    const std::string domain = lower(principal.substr(at + 1));
    std::string base = server.option(LDAP_OPT_DEFBASE);
    if (base.empty())
        base = domaindn(domain);
    if (base.empty())
        return;
    const account wanted = resolveaccount(principal, domainnames{domain, kerberosrealm(), std::string()});
    firstguess = lastrun{std::string(), true, base, accountfilter(wanted, true), std::string(), std::string()};
    guess = server.sendsearch(base, LDAP_SCOPE_SUBTREE, firstguess.filter, accountread(), 2);
    last = &firstguess;
    // And what its schema steps will read, in the forest named like the
    // domain, for the types the entry is read with (all of them: no guess).
    const std::string forest = domaindn(domain);
    if (forest.empty())
        return;
    std::vector<std::string> types;
    for (const char* name : accountread()) {
        if (std::string(name) == "*") {
            types.clear();
            break;
        }
        types.push_back(lower(name));
    }
    schema.guess("CN=Schema,CN=Configuration," + forest, types);
}

status firstround::finish(userfound& found)
{
    const status result = findentry(server.finishwhoami(who), found);
    guess.abandon();
    return result;
}

std::vector<const char*> firstround::accountread() const
{
    std::vector<const char*> names = entryattributes;
    names.insert(names.end(), accountattributes.begin(), accountattributes.end());
    return names;
}

bool firstround::rootunasked() const
{
    return last && !last->searched && last->schemacontext.empty();
}

status firstround::findentry(const std::string& whoami, userfound& found)
{
    if (rootunasked()) {
        // "Who am I?" naming the entry again confirms the guess by itself;
        // what the last run read of the root DSE stands.
        if (whoami.compare(0, 3, "dn:") == 0 && samedn(whoami.substr(3), last->dn)) {
            found.root.subschemasubentry = last->subentry;
            schema.readahead(last->subentry);
            found.dn = whoami.substr(3);
            return readentry(true, found);
        }
        rootread = server.sendread("", connection::rootattributes); // a round more: someone else
    }
    entry rootentry;
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    rootfailure = server.finishread(rootread, "", rootentry);
    if (rootfailure.ok())
        connection::readroot(rootentry, found.root);
    const rootdse& root = found.root;
    // The guessed stamps hold when the root DSE names the same places.
    if (!last || !samedn(last->subentry, root.subschemasubentry) ||
        !samedn(last->schemacontext, root.schemanamingcontext))
        schema.ask(root.subschemasubentry, root.schemanamingcontext);
    schema.readahead(root.subschemasubentry);
    found.dn = whoamientry(whoami, root.namingcontexts);
    return found.dn.empty() ? searchaccount(whoami, last && last->searched, found)
                            : readentry(last && !last->searched && samedn(found.dn, last->dn), found);
}

status firstround::readentry(bool guessed, userfound& found)
{
    connection::pending asked;
    if (!guessed)
        asked = server.sendread(found.dn, entryattributes);
    found.entryfailure = server.finishread(guessed ? guess : asked, found.dn, found.user);
    return status();
}

std::string firstround::netbiosname(const rootdse& root)
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

status firstround::searchaccount(const std::string& whoami, bool guessed, userfound& found)
{
    const rootdse& root = found.root;
    const std::string source = accountsource(whoami, server.option(LDAP_OPT_X_SASL_USERNAME), loginname());
    if (barename(source).empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    found.base = searchbase(server.option(LDAP_OPT_DEFBASE), root.defaultnamingcontext, root.namingcontexts);
    if (found.base.empty()) {
        if (!rootfailure.ok())
            return rootfailure;
        return fail(LDAP_NO_SUCH_OBJECT, "no search base: the server names no naming context");
    }
    domainnames own{dnsdomainof(root.defaultnamingcontext.empty() ? found.base : root.defaultnamingcontext),
                    kerberosrealm(), std::string()};
    account wanted = resolveaccount(source, own);
    if (wanted.whole && hasnetbiosprefix(source)) {
        own.netbios = netbiosname(root);
        wanted = resolveaccount(source, own);
    }
    found.filter = accountfilter(wanted, root.activedirectory);
    // The last run's search answers this one only if it was the same search.
    const bool same = guessed && samedn(last->base, found.base) && last->filter == found.filter;
    connection::pending asked;
    if (!same)
        asked = server.sendsearch(found.base, LDAP_SCOPE_SUBTREE, found.filter, accountread(), 2);
    return searchfor(same ? guess : asked, wanted, found);
}

status firstround::searchfor(connection::pending& request, const account& wanted, userfound& found)
{
    // Asked for two at most: a server that sends more is not counted on to
    // have sent the right one.
    std::vector<entry> matches;
    std::size_t sent = 0;
    const status result = server.finishsearch(request, [&](entry&& match) {
        if (isaccount(match, wanted, found.base))
            matches.push_back(std::move(match));
        else
            mylog.at(2) << "passed over " << match.dn << ": not the account searched for" << logend;
        return ++sent <= 2 && matches.size() < 2;
    });
    const bool limited = result.code() == static_cast<std::uint32_t>(LDAP_SIZELIMIT_EXCEEDED);
    if (!result.ok() && !limited)
        return result;
    if (matches.empty() && sent <= 2)
        return fail(LDAP_NO_RESULTS_RETURNED,
                    "no directory entry for the account " + wanted.name + " under " + found.base);
    if (matches.size() != 1 || sent > 2 || limited)
        return fail(LDAP_MORE_RESULTS_TO_RETURN,
                    "several directory entries for the account " + wanted.name + " under " + found.base);
    found.user = std::move(matches.front());
    found.dn = found.user.dn;
    return status();
}

} // namespace openldap
