#include "platform/ldap/ldapsitecheck.h"

#include "log/mylog.h"
#include "platform/clock.h"
#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldaplocator.h"
#include "platform/ldap/locate/ldapnetlogon.h"
#include "platform/ldap/locate/ldapsite.h"

#include <utility>

namespace openldap {

sitecheck::sitecheck(connection& server, std::string domain, std::string remembered)
    : server(server), domain(std::move(domain)), remembered(std::move(remembered))
{
    request = server.sendsearch("", LDAP_SCOPE_BASE, netlogonfilter(this->domain), {"Netlogon"}, 1);
}

void sitecheck::finish(const std::string& cachedirectory)
{
    std::string value;
    const status answered = server.finishsearch(request, [&](entry&& found) {
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
