#include "platform/ldap/ldapentry.h"

#include "platform/ldap/ldapschema.h"
#include "platform/ldap/ldaptext.h"

namespace openldap {

std::vector<std::string> entry::values(const std::string& name, const schema* names) const
{
    const std::string wanted = lower(names ? names->attributename(name) : name);
    std::vector<std::string> result;
    for (const auto& attribute : attributes) {
        std::string type = attribute.first.substr(0, attribute.first.find(';'));
        if (lower(names ? names->attributename(type) : type) == wanted)
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
