#include "platform/ldap/schema/ldapentry.h"

#include "platform/ldap/common/ldaptext.h"

namespace openldap {

std::vector<std::string> entry::values(const std::string& name) const
{
    const std::string wanted = lower(name);
    std::vector<std::string> result;
    for (const auto& attribute : attributes) {
        if (lower(attribute.first.substr(0, attribute.first.find(';'))) == wanted)
            result.insert(result.end(), attribute.second.begin(), attribute.second.end());
    }
    return result;
}

std::string entry::first(const std::string& name) const
{
    const std::vector<std::string> found = values(name);
    return found.empty() ? std::string() : found.front();
}

} // namespace openldap
