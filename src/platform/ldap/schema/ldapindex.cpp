#include "platform/ldap/schema/ldapindex.h"

#include "platform/ldap/schema/ldaplayout.h"
#include "platform/ldap/common/ldaptext.h"

namespace openldap {

namespace {

// The key an attribute is filed under: its first name, in lower case.
std::string key(const classlayout& names, const std::string& description)
{
    return lower(names.firstname(description));
}

} // namespace

entryindex::entryindex(const entry& indexed, const classlayout& names) : names(&names)
{
    for (const auto& attribute : indexed.attributes)
        attributes[key(names, attribute.first)].push_back(&attribute.second);
}

std::vector<std::string> entryindex::values(const std::string& name) const
{
    std::vector<std::string> result;
    if (!names)
        return result;
    auto found = attributes.find(key(*names, name));
    if (found == attributes.end())
        return result;
    for (const std::vector<std::string>* values : found->second)
        result.insert(result.end(), values->begin(), values->end());
    return result;
}

} // namespace openldap
