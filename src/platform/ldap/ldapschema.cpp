#include "platform/ldap/ldapschema.h"

#include "platform/ldap/ldaptext.h"

#include <ldap_schema.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <unordered_set>

namespace openldap {

namespace {

// Active Directory quotes the OIDs of its syntaxes; accept that, and
// descriptions whose fields come in another order.
const unsigned lenient = LDAP_SCHEMA_ALLOW_QUOTED | LDAP_SCHEMA_ALLOW_OUT_OF_ORDER_FIELDS;

std::vector<std::string> strings(char** list)
{
    std::vector<std::string> result;
    for (; list && *list; ++list)
        result.emplace_back(*list);
    return result;
}

std::string firstname(char** names, const char* oid)
{
    return names && names[0] ? names[0] : oid;
}

void index(std::unordered_map<std::string, std::size_t>& map, char** names, const char* oid, std::size_t at)
{
    for (; names && *names; ++names)
        map.emplace(lower(*names), at);
    if (oid)
        map.emplace(lower(oid), at);
}

// The syntaxes whose values are text: the standard string syntaxes and
// Active Directory's own case-sensitive and case-insensitive strings.
bool isstringsyntax(const std::string& oid)
{
    static const std::unordered_set<std::string> text = {
        "1.3.6.1.4.1.1466.115.121.1.11", // Country String
        "1.3.6.1.4.1.1466.115.121.1.12", // DN
        "1.3.6.1.4.1.1466.115.121.1.15", // Directory String
        "1.3.6.1.4.1.1466.115.121.1.22", // Facsimile Telephone Number
        "1.3.6.1.4.1.1466.115.121.1.26", // IA5 String
        "1.3.6.1.4.1.1466.115.121.1.34", // Name and Optional UID
        "1.3.6.1.4.1.1466.115.121.1.36", // Numeric String
        "1.3.6.1.4.1.1466.115.121.1.38", // OID
        "1.3.6.1.4.1.1466.115.121.1.39", // Other Mailbox
        "1.3.6.1.4.1.1466.115.121.1.41", // Postal Address
        "1.3.6.1.4.1.1466.115.121.1.44", // Printable String
        "1.3.6.1.4.1.1466.115.121.1.50", // Telephone Number
        "1.3.6.1.4.1.1466.115.121.1.52", // Telex Number
        "1.2.840.113556.1.4.905",        // String(Teletex)
        "1.2.840.113556.1.4.1362",       // String(Case)
    };
    return text.count(oid) != 0;
}

// Parses one description with a libldap parser and hands the result to
// `use`; the result is freed on every path. A description that doesn't
// parse, or that has no OID (the lenient parser lets "( NAME 'x' )" through),
// is skipped: nothing could name it.
template <typename parsed, typename user>
void parse(const char* description, parsed* (*parser)(const char*, int*, const char**, unsigned),
           void (*release)(parsed*), char* parsed::*oid, user use)
{
    int code = 0;
    const char* error = nullptr;
    std::unique_ptr<parsed, void (*)(parsed*)> result(parser(description, &code, &error, lenient), release);
    if (result && (*result).*oid)
        use(*result);
}

} // namespace

void schema::add(const std::string& type, const char* description)
{
    if (type == "attributetypes")
        addattributetype(description);
    else if (type == "objectclasses")
        addobjectclass(description);
    else if (type == "ditcontentrules")
        addcontentrule(description);
}

void schema::addattributetype(const char* description)
{
    parse(description, ldap_str2attributetype, ldap_attributetype_free, &LDAPAttributeType::at_oid,
          [&](const LDAPAttributeType& type) {
        index(attributeindex, type.at_names, type.at_oid, attributes.size());
        std::vector<std::string> aliases = strings(type.at_names);
        aliases.emplace_back(type.at_oid);
        attributes.push_back({firstname(type.at_names, type.at_oid), type.at_sup_oid ? type.at_sup_oid : "",
                              type.at_syntax_oid ? type.at_syntax_oid : "", std::move(aliases)});
    });
}

void schema::addobjectclass(const char* description)
{
    parse(description, ldap_str2objectclass, ldap_objectclass_free, &LDAPObjectClass::oc_oid,
          [&](const LDAPObjectClass& oc) {
        index(classindex, oc.oc_names, oc.oc_oid, classes.size());
        classes.push_back({firstname(oc.oc_names, oc.oc_oid), oc.oc_oid, strings(oc.oc_sup_oids), oc.oc_kind,
                           strings(oc.oc_at_oids_must), strings(oc.oc_at_oids_may)});
    });
}

void schema::addcontentrule(const char* description)
{
    parse(description, ldap_str2contentrule, ldap_contentrule_free, &LDAPContentRule::cr_oid,
          [&](const LDAPContentRule& rule) {
        // A content rule is named by the OID of its structural class.
        ruleindex.emplace(lower(rule.cr_oid), rules.size());
        rules.push_back({strings(rule.cr_oc_oids_aux), strings(rule.cr_at_oids_must), strings(rule.cr_at_oids_may)});
    });
}

const schema::attributetype* schema::findattribute(const std::string& nameoroid) const
{
    auto found = attributeindex.find(lower(nameoroid));
    return found == attributeindex.end() ? nullptr : &attributes[found->second];
}

const schema::objectclass* schema::findclass(const std::string& nameoroid) const
{
    auto found = classindex.find(lower(nameoroid));
    return found == classindex.end() ? nullptr : &classes[found->second];
}

std::string schema::attributename(const std::string& nameoroid) const
{
    const attributetype* type = findattribute(nameoroid);
    return type ? type->name : nameoroid;
}

std::vector<std::string> schema::attributenames(const std::string& nameoroid) const
{
    const attributetype* type = findattribute(nameoroid);
    return type ? type->aliases : std::vector<std::string>();
}

bool schema::isstring(const std::string& nameoroid) const
{
    const attributetype* type = findattribute(nameoroid);
    // A SUP chain is short; the bound only guards against a cycle.
    for (int depth = 0; type && depth < 32; ++depth) {
        if (!type->syntax.empty())
            return isstringsyntax(type->syntax);
        type = type->sup.empty() ? nullptr : findattribute(type->sup);
    }
    return false;
}

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

void schema::attributelists(const std::string& structural, const std::vector<std::string>& objectclasses,
                                  std::vector<std::string>& mandatory, std::vector<std::string>& optional) const
{
    const objectclass* top = findclass(structural);
    if (!top)
        return;

    // The classes in declaration order, each once: a class, then its
    // superclasses depth first.
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
    visit(top);
    const std::size_t ownclasses = order.size();

    // A content rule is named by the OID of its structural class.
    auto found = ruleindex.find(lower(top->oid));
    const contentrule* rule = found == ruleindex.end() ? nullptr : &rules[found->second];
    if (rule)
        for (const std::string& aux : rule->aux)
            visit(findclass(aux));
    for (const std::string& value : objectclasses) {
        const objectclass* auxiliary = findclass(value);
        if (auxiliary && auxiliary->kind == LDAP_SCHEMA_AUXILIARY)
            visit(auxiliary);
    }

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
