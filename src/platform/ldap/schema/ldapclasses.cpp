// The schema's class hierarchy: which of an entry's classes is its
// structural one, and the attribute lists its classes declare, in order.
#include "platform/ldap/schema/ldapschema.h"

#include "platform/ldap/common/ldaptext.h"

#include <ldap_schema.h>

#include <algorithm>
#include <unordered_set>

namespace openldap {

bool schema::issuperclass(const objectclass& ancestor, const objectclass& descendant) const
{
    std::vector<const objectclass*> pending{&descendant};
    std::unordered_set<const objectclass*> seen;
    while (!pending.empty()) {
        const objectclass* current = pending.back();
        pending.pop_back();
        for (const std::string& sup : current->sups) {
            const objectclass* parent = findclass(sup);
            if (parent == &ancestor)
                return true;
            if (parent && seen.insert(parent).second)
                pending.push_back(parent);
        }
    }
    return false;
}

std::string schema::structuralclass(const std::vector<std::string>& objectclasses) const
{
    std::vector<const objectclass*> structural;
    for (const std::string& value : objectclasses) {
        const objectclass* found = findclass(value);
        if (found && found->kind == LDAP_SCHEMA_STRUCTURAL)
            structural.push_back(found);
    }
    // The one that is no other value's superclass; the last such, should an
    // entry hold unrelated structural classes.
    for (auto candidate = structural.rbegin(); candidate != structural.rend(); ++candidate) {
        bool isancestor = std::any_of(structural.begin(), structural.end(), [&](const objectclass* other) {
            return other != *candidate && issuperclass(**candidate, *other);
        });
        if (!isancestor)
            return (*candidate)->name;
    }
    return std::string();
}

std::vector<const schema::objectclass*> schema::classorder(const objectclass& top, const contentrule* rule,
                                                          const std::vector<std::string>& objectclasses,
                                                          std::size_t& ownclasses) const
{
    std::vector<const objectclass*> order;
    std::unordered_set<const objectclass*> visited;
    auto visit = [&](const objectclass* start) {
        std::vector<const objectclass*> pending{start};
        while (!pending.empty()) {
            const objectclass* current = pending.back();
            pending.pop_back();
            if (!current || !visited.insert(current).second)
                continue;
            order.push_back(current);
            for (auto sup = current->sups.rbegin(); sup != current->sups.rend(); ++sup)
                pending.push_back(findclass(*sup));
        }
    };
    visit(&top);
    ownclasses = order.size();
    if (rule)
        for (const std::string& aux : rule->aux)
            visit(findclass(aux));
    for (const std::string& value : objectclasses) {
        const objectclass* auxiliary = findclass(value);
        if (auxiliary && auxiliary->kind == LDAP_SCHEMA_AUXILIARY)
            visit(auxiliary);
    }
    return order;
}

void schema::attributelists(const std::string& structural, const std::vector<std::string>& objectclasses,
                            std::vector<std::string>& mandatory, std::vector<std::string>& optional) const
{
    const objectclass* top = findclass(structural);
    if (!top)
        return;
    // A content rule is named by the OID of its structural class.
    const contentrule* rule = findrule(top->oid);
    std::size_t ownclasses = 0;
    const std::vector<const objectclass*> order = classorder(*top, rule, objectclasses, ownclasses);

    // The class's own lists, then its content rule's, then the auxiliary
    // classes': each attribute once, under its first name.
    std::unordered_set<std::string> listed;
    auto add = [&](const std::vector<std::string>& names, std::vector<std::string>& to) {
        for (const std::string& name : names) {
            std::string canonical = attributename(name);
            if (listed.insert(lower(canonical)).second)
                to.push_back(std::move(canonical));
        }
    };
    auto collect = [&](bool must, std::vector<std::string>& to) {
        for (std::size_t i = 0; i < ownclasses; ++i)
            add(must ? order[i]->must : order[i]->may, to);
        if (rule)
            add(must ? rule->must : rule->may, to);
        for (std::size_t i = ownclasses; i < order.size(); ++i)
            add(must ? order[i]->must : order[i]->may, to);
    };
    collect(true, mandatory);
    collect(false, optional);
}

} // namespace openldap
