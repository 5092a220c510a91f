#include "platform/ldap/schema/ldaplayout.h"

#include "platform/ldap/schema/ldapschema.h"
#include "platform/ldap/common/ldaptext.h"

namespace openldap {

std::string classlayout::firstname(const std::string& description) const
{
    const std::string type = description.substr(0, description.find(';'));
    auto found = names.find(lower(type));
    return found == names.end() ? type : found->second;
}

bool classlayout::isstring(const std::string& name) const
{
    return strings.count(lower(name)) != 0;
}

classlayout layoutof(const schema& names, const std::vector<std::string>& objectclasses)
{
    classlayout layout;
    layout.structural = names.structuralclass(objectclasses);
    if (layout.structural.empty())
        return layout;
    names.attributelists(layout.structural, objectclasses, layout.mandatory, layout.optional);
    for (const auto* list : {&layout.mandatory, &layout.optional})
        for (const std::string& name : *list)
            addattribute(names, name, layout);
    return layout;
}

void addattribute(const schema& names, const std::string& name, classlayout& layout)
{
    if (names.isstring(name))
        layout.strings.insert(lower(name));
    for (const std::string& alias : names.attributenames(name))
        layout.names.emplace(lower(alias), name);
}

} // namespace openldap
