#include "platform/ldap/session/ldapsitecheck.h"

#include "log/mylog.h"
#include "platform/clock.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/locate/ldapnetlogon.h"
#include "platform/ldap/locate/ldapsite.h"
#include "platform/ldap/session/ldaprequests.h"

#include <utility>

namespace openldap {

sitecheck::sitecheck(rounds& flights, std::string domain, std::string remembered)
    : flights(flights), domain(std::move(domain)), remembered(std::move(remembered))
{
}

searchrequest sitecheck::ping() const
{
    return searchrequest{"", searchrequest::scope::base, netlogonfilter(domain), {"Netlogon"}, 1};
}

void sitecheck::send()
{
    flights.send(purpose::site, ping());
}

void sitecheck::finish(const std::string& cachedirectory)
{
    std::string value;
    wire::pending request = flights.take(purpose::site, ping());
    const status answered = finishsearch(flights.link(), request, [&](entry&& found) {
        value = found.first("Netlogon");
        return false;
    });
    netlogonanswer answer;
    if (!answered.ok() || !readsamlogonex(value, answer) || lower(answer.domain) != lower(domain) ||
        !(answer.clientsite.empty() || dnslabel(answer.clientsite)))
        return;
    if (answer.clientsite == remembered)
        return;
    mylog.at(2) << "site = " << (answer.clientsite.empty() ? "none" : answer.clientsite) << " (said by "
                << answer.host << ", not " << (remembered.empty() ? "none" : remembered)
                << " as remembered: its controllers come first from the next run)" << logend;
    writesite(cachedirectory, lower(domain), answer.clientsite, platform::walltime());
}

} // namespace openldap
