#include "platform/ldap/locate/ldapcandidates.h"

#include "platform/ldap/common/ldaptext.h"

#include <algorithm>

namespace openldap {

std::string target::hostport() const
{
    return lower(host) + ":" + std::to_string(port);
}

void recordoutcome(std::vector<std::string>& outcomes, const target& tried, const std::string& why)
{
    const std::string name = tried.hostport() + " (";
    const auto earlier = std::find_if(outcomes.begin(), outcomes.end(),
                                      [&](const std::string& outcome) { return outcome.rfind(name, 0) == 0; });
    if (earlier != outcomes.end())
        *earlier = name + why + ")";
    else
        outcomes.push_back(name + why + ")");
}

} // namespace openldap
