#include "platform/ldap/locate/ldapconfigured.h"

#include "platform/ldap/common/ldaptext.h"

#include <ldap.h>

#include <algorithm>


namespace openldap {

configuredlist::configuredlist(const std::string& uris, std::chrono::steady_clock::time_point deadline)
    : deadline(deadline)
{
    walk = true;
    for (std::size_t start = uris.find_first_not_of(" ,"); start != std::string::npos;
         start = uris.find_first_not_of(" ,", start)) {
        const std::size_t end = std::min(uris.find_first_of(" ,", start), uris.size());
        LDAPURLDesc* server = nullptr;
        if (ldap_url_parse(uris.substr(start, end - start).c_str(), &server) != LDAP_URL_SUCCESS || !server ||
            !server->lud_scheme || lower(server->lud_scheme) != "ldap" || !server->lud_host || !*server->lud_host)
            walk = false;
        else
            waiting.push_back(target{server->lud_host, server->lud_port > 0 ? unsigned(server->lud_port) : 389u,
                                     "the configured URI list"});
        ldap_free_urldesc(server);
        start = end;
    }
    walk = walk && !waiting.empty();
}

namespace {

// Whether no whole millisecond is left before `deadline`: no attempt can be
// given any time.
bool over(std::chrono::steady_clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count() <= 0;
}

} // namespace

bool configuredlist::next(target& found)
{
    if (waiting.empty() || over(deadline))
        return false;
    found = waiting.front();
    waiting.pop_front();
    return true;
}

void configuredlist::failed(const target& tried, const std::string& why)
{
    recordoutcome(outcomes, tried, why);
}

void configuredlist::retry(const std::vector<target>& targets)
{
    waiting.insert(waiting.end(), targets.begin(), targets.end());
}

std::string configuredlist::whynone() const
{
    std::string text = "no configured server could be reached: " +
                       (outcomes.empty() ? std::string("none was tried") : join(outcomes, ", "));
    if (over(deadline))
        text += "; the time for connecting ran out";
    return text;
}

} // namespace openldap
