#include "platform/ldap/locate/ldaplocator.h"

#include "log/mylog.h"
#include "platform/ldap/locate/ldapnetlogon.h"
#include "platform/ldap/common/ldaptext.h"

#include <algorithm>
#include <cctype>

namespace openldap {

namespace {

// The controllers pinged at once for the client's site.
const std::size_t pinged = 5;

// The SRV name of a site's domain controllers.
std::string sitename(const std::string& site, const std::string& domain)
{
    return "_ldap._tcp." + site + "._sites.dc._msdcs." + domain;
}

} // namespace

void ordersrv(std::vector<srvtarget>& targets, const std::function<unsigned(unsigned)>& random)
{
    std::stable_sort(targets.begin(), targets.end(),
                     [](const srvtarget& a, const srvtarget& b) { return a.priority < b.priority; });
    for (auto group = targets.begin(); group != targets.end();) {
        const auto end = std::find_if(group, targets.end(),
                                      [&](const srvtarget& other) { return other.priority != group->priority; });
        // Zero weights first, so that they have a small chance too.
        std::stable_partition(group, end, [](const srvtarget& target) { return target.weight == 0; });
        for (auto place = group; place != end; ++place) {
            unsigned total = 0;
            for (auto rest = place; rest != end; ++rest)
                total += rest->weight;
            const unsigned pick = random(total + 1);
            unsigned running = 0;
            auto chosen = place;
            for (auto rest = place; rest != end; ++rest) {
                running += rest->weight;
                if (running >= pick) {
                    chosen = rest;
                    break;
                }
            }
            std::rotate(place, chosen, chosen + 1);
        }
        group = end;
    }
}

bool dnslabel(const std::string& name)
{
    return !name.empty() && name.size() <= 63 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

bool dnsname(const std::string& name)
{
    if (name.empty() || name.size() > 253)
        return false;
    for (std::size_t start = 0;;) {
        const std::size_t dot = name.find('.', start);
        if (!dnslabel(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start)))
            return false;
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

locator::locator(locateenv& env, std::chrono::milliseconds budget, std::chrono::milliseconds pingwait,
                 std::chrono::milliseconds querywait)
    : env(env), end(env.now() + budget), pingwait(pingwait), querywait(querywait)
{
}

std::chrono::milliseconds locator::timeleft() const
{
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(end - env.now());
    return std::max(rest, std::chrono::milliseconds(0));
}

bool locator::start()
{
    mylog.at(2) << "no directory server configured: looking for the domain's controllers" << logend;
    // The user's own domain, as on Windows: their ticket's realm, whatever
    // domain the machine is in; without a ticket, the machine's.
    // A name that is no DNS name is passed over like a missing one: DNS can't
    // be asked for it, and its silence would stop the next.
    const auto named = [](std::string name, const char* source) {
        name = lower(name);
        if (!name.empty() && !dnsname(name)) {
            mylog.at(2) << "domain " << escapecontrols(name) << " (from " << source
                        << ") passed over: it is no DNS name" << logend;
            name.clear();
        }
        return name;
    };
    const std::string ticket = named(env.ticketrealm(), "the user's Kerberos ticket");
    const std::string realm = ticket.empty() ? named(env.realm(), "the Kerberos default realm") : ticket;
    if (!realm.empty())
        domains.emplace_back(realm, ticket.empty() ? "the Kerberos default realm" : "the user's Kerberos ticket");
    const std::string dns = named(env.dnsdomain(), "the machine's DNS domain");
    if (!dns.empty() && dns != realm)
        domains.emplace_back(dns, "the machine's DNS domain");
    if (domains.empty())
        mylog.at(2) << "no domain: neither a Kerberos default realm nor a DNS domain" << logend;
    for (const auto& domain : domains)
        mylog.at(2) << "domain = " << domain.first << " (from " << domain.second << ")" << logend;
    return !domains.empty();
}

bool locator::lookup(const std::string& name, std::vector<srvtarget>& found)
{
    found.clear();
    if (step == stage::dnssilent || timeleft().count() == 0)
        return false;
    std::string answer;
    const locateenv::dnsresult result = env.querysrv(name, std::min(querywait, timeleft()), found, answer);
    ordersrv(found, [&](unsigned n) { return env.random(n); });
    if (result == locateenv::dnsresult::found) {
        std::vector<std::string> names;
        for (const srvtarget& target : found)
            names.push_back(target.host + ":" + std::to_string(target.port));
        answer = join(names, " ");
    }
    mylog.at(2) << "dns srv " << name << ": " << answer << logend;
    lookedup.push_back(name + ": " + answer);
    // A name server that doesn't answer won't answer the next name either.
    if (result == locateenv::dnsresult::silent)
        step = stage::dnssilent;
    return result == locateenv::dnsresult::found;
}

void locator::queue(const std::vector<srvtarget>& targets, const std::string& source)
{
    for (const srvtarget& found : targets) {
        target controller{found.host, found.port, source};
        const std::string hostport = controller.hostport();
        if (!handed.count(hostport) && std::none_of(waiting.begin(), waiting.end(), [&](const target& other) {
                return other.hostport() == hostport;
            }))
            waiting.push_back(std::move(controller));
    }
}

std::string locator::pingsite(const std::vector<srvtarget>& targets, bool& anyasked)
{
    const int id = env.pingid();
    std::vector<std::string> hosts;
    for (std::size_t index = 0; index < targets.size() && index < pinged; ++index)
        hosts.push_back(targets[index].host);
    const std::string request = netlogonrequest(id, domain());
    const std::chrono::milliseconds wait = std::min(pingwait, timeleft());
    netlogonanswer answer;
    std::string from;
    std::vector<std::string> asked;
    const bool answered = !request.empty() && env.ping(hosts, request, wait, [&](std::string_view datagram) {
        return readnetlogonreply(datagram, id, answer) && lower(answer.domain) == domain();
    }, from, asked);
    anyasked = !asked.empty();
    if (asked.empty()) {
        mylog.at(2) << "site ping: no controller to ask (none of " << join(hosts, " ") << " has an address within "
                    << wait.count() << " ms)" << logend;
        return std::string();
    }
    if (!answered) {
        mylog.at(2) << "site ping: no answer from " << join(asked, " ") << " within " << wait.count() << " ms"
                    << logend;
        return std::string();
    }
    const bool usable = answer.clientsite.empty() || dnslabel(answer.clientsite);
    mylog.at(2) << "site = " << (answer.clientsite.empty() ? "none" : answer.clientsite)
                << (usable ? "" : " (not a usable name)") << " (said by " << from << ", itself in site "
                << answer.dcsite << ")" << logend;
    return usable ? answer.clientsite : std::string();
}

void locator::advancesite()
{
    std::string remembered;
    // A name that can't be one (the file is the user's to edit) is no record.
    if (!env.readsite(domain(), remembered) || !(remembered.empty() || dnslabel(remembered))) {
        step = stage::domainwide;
        return;
    }
    step = stage::knownsite;
    fromrecord = true;
    this->remembered = remembered;
    mylog.at(2) << "site = " << (remembered.empty() ? "none" : remembered) << " (remembered)" << logend;
    std::vector<srvtarget> found;
    const std::string name = sitename(remembered, domain());
    if (!remembered.empty() && lookup(name, found))
        queue(found, name);
}

void locator::advancedomainwide()
{
    const bool ping = step == stage::domainwide;
    step = stage::done;
    std::vector<srvtarget> found;
    std::string name = "_ldap._tcp.dc._msdcs." + domain();
    const bool activedirectory = lookup(name, found);
    if (!activedirectory && lookup("_ldap._tcp." + domain(), found))
        name = "_ldap._tcp." + domain();
    if (activedirectory && ping) {
        bool asked = false;
        const std::string site = pingsite(found, asked);
        // Only an asked question's silence says "no site".
        if (asked)
            env.writesite(domain(), site);
        std::vector<srvtarget> local;
        if (!site.empty() && lookup(sitename(site, domain()), local))
            queue(local, sitename(site, domain()));
    }
    queue(found, name);
}

bool locator::advance()
{
    while (current < domains.size() && step != stage::dnssilent && timeleft().count() > 0 && waiting.empty()) {
        switch (step) {
        case stage::site:
            advancesite();
            break;
        case stage::domainwide:
        case stage::knownsite:
            advancedomainwide();
            break;
        case stage::done:
            // The domain has controllers and none could be used: another
            // domain's would not be the user's.
            if (anyfound())
                return false;
            ++current;
            step = stage::site;
            break;
        case stage::dnssilent:
            return false;
        }
    }
    return !waiting.empty();
}

bool locator::next(target& found)
{
    if (waiting.empty() && !advance())
        return false;
    if (timeleft().count() == 0)
        return false;
    found = waiting.front();
    waiting.pop_front();
    handed.insert(found.hostport());
    return true;
}

void locator::failed(const target& tried, const std::string& why)
{
    recordoutcome(outcomes, tried, why);
}

void locator::retry(const std::vector<target>& targets)
{
    waiting.insert(waiting.end(), targets.begin(), targets.end());
}

std::string locator::whynone() const
{
    if (domains.empty())
        return "no domain to look in: neither a Kerberos default realm nor a DNS domain; name a server with URI "
               "in ldap.conf";
    std::string text;
    if (!anyfound()) {
        std::vector<std::string> names;
        for (std::size_t index = 0; index < domains.size() && index <= current; ++index)
            names.push_back(domains[index].first + " (" + domains[index].second + ")");
        text = "no domain controller of " + join(names, " or ") +
               (step == stage::dnssilent ? " found: DNS did not answer (" : " found in DNS (") + join(lookedup, ", ") +
               ")";
    } else {
        text = "no domain controller of " + domains[std::min(current, domains.size() - 1)].first +
               " could be reached: " + (outcomes.empty() ? std::string("none was tried") : join(outcomes, ", "));
    }
    if (timeleft().count() == 0)
        text += "; the time for finding one ran out";
    return text + "; name a server with URI in ldap.conf";
}

} // namespace openldap
