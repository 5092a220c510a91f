#include "platform/ldap/session/ldapfirstround.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldapmachine.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace openldap {

namespace {

std::string loginname()
{
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "";
}

} // namespace

firstround::firstround(rounds& flights, schemaresolution& schema, const lastrun* last,
                       std::vector<std::string> entryattributes)
    : flights(flights), schema(schema), last(last), entryattributes(std::move(entryattributes))
{
}

void firstround::send()
{
    flights.sendwhoami();
    if (!rootunasked())
        flights.send(purpose::rootdse, rootdseread());
    if (last && !last->searched)
        flights.send(purpose::entry, entryread(last->dn, entryattributes));
    else if (last)
        flights.send(purpose::account, accountsearch(last->base, last->filter, accountread()));
    if (last)
        schema.ask(last->subentry, last->schemacontext);
    else
        guessaccount();
}

void firstround::guessaccount()
{
    const std::string principal = flights.link().saslname();
    const std::size_t at = principal.rfind('@');
    if (at == std::string::npos || principal.find('=') != std::string::npos)
        return;
    const std::string domain = lower(principal.substr(at + 1));
    std::string base = flights.link().configuredbase();
    if (base.empty())
        base = domaindn(domain);
    if (base.empty())
        return;
    const account wanted = resolveaccount(principal, domainnames{domain, kerberosrealm(), std::string()});
    flights.send(purpose::account, accountsearch(base, accountfilter(wanted, true), accountread()));
    // And what its schema steps will read, in the forest named like the
    // domain, for the types the entry is read with (all of them: no guess).
    const std::string forest = domaindn(domain);
    if (forest.empty())
        return;
    std::vector<std::string> types;
    for (const std::string& name : accountread()) {
        if (name == "*") {
            types.clear();
            break;
        }
        if (std::find(types.begin(), types.end(), lower(name)) == types.end())
            types.push_back(lower(name));
    }
    schema.guess("CN=Schema,CN=Configuration," + forest, types);
}

status firstround::finish(userfound& found)
{
    const status result = findentry(flights.whoami(), found);
    // A guess not taken is of no use now.
    flights.abandon(purpose::entry);
    flights.abandon(purpose::account);
    return result;
}

std::vector<std::string> firstround::accountread() const
{
    std::vector<std::string> names = entryattributes;
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
            return readentry(found);
        }
        flights.send(purpose::rootdse, rootdseread()); // a round more: someone else
    }
    entry rootentry;
    // A server that won't show its root DSE can still be searched under a
    // configured base; its cause is kept for when there is none.
    wire::pending rootanswer = flights.take(purpose::rootdse, rootdseread());
    rootfailure = finishread(flights.link(), rootanswer, "", rootentry);
    if (rootfailure.ok())
        found.root = readroot(rootentry);
    const rootdse& root = found.root;
    // The stamps asked in round 1 hold when the root DSE names the same places.
    if (!last || !samedn(last->subentry, root.subschemasubentry) ||
        !samedn(last->schemacontext, root.schemanamingcontext))
        schema.ask(root.subschemasubentry, root.schemanamingcontext);
    schema.readahead(root.subschemasubentry);
    found.dn = whoamientry(whoami, root.namingcontexts);
    return found.dn.empty() ? searchaccount(whoami, found) : readentry(found);
}

status firstround::readentry(userfound& found)
{
    // The read guessed in round 1 answers when it named this entry.
    wire::pending answer = flights.take(purpose::entry, entryread(found.dn, entryattributes));
    found.entryfailure = finishread(flights.link(), answer, found.dn, found.user);
    return status();
}

std::string firstround::netbiosname(const rootdse& root)
{
    // Active Directory publishes it on the domain's crossRef object.
    if (root.configurationnamingcontext.empty() || root.defaultnamingcontext.empty())
        return std::string();
    std::string name;
    wire::pending answer =
        flights.take(purpose::netbios, netbiossearch(root.configurationnamingcontext, root.defaultnamingcontext));
    finishsearch(flights.link(), answer, [&](entry&& crossref) {
        name = crossref.first("nETBIOSName");
        return false;
    });
    return name;
}

status firstround::searchaccount(const std::string& whoami, userfound& found)
{
    const rootdse& root = found.root;
    const std::string source = accountsource(whoami, flights.link().saslname(), loginname());
    if (barename(source).empty())
        return fail(LDAP_NO_SUCH_OBJECT, "no account name to look up");
    found.base = searchbase(flights.link().configuredbase(), root.defaultnamingcontext, root.namingcontexts);
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
    // The search guessed in round 1 answers only when it was this search.
    wire::pending answer = flights.take(purpose::account, accountsearch(found.base, found.filter, accountread()));
    return searchfor(answer, wanted, found);
}

status firstround::searchfor(wire::pending& request, const account& wanted, userfound& found)
{
    // Asked for two at most: a server that sends more is not counted on to
    // have sent the right one.
    std::vector<entry> matches;
    std::size_t sent = 0;
    const status result = finishsearch(flights.link(), request, [&](entry&& match) {
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
