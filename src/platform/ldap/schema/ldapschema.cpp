#include "platform/ldap/schema/ldapschema.h"

#include "platform/ldap/common/ldaptext.h"

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

std::uint64_t keyhash(std::string_view key)
{
    return fnv1a(key, true);
}

bool same(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The words of a description: "(", ")", a quoted string (with its quotes)
// or a bare word.
class tokens {
public:
    explicit tokens(std::string_view text) : text(text) {}
    std::string_view next()
    {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at >= text.size())
            return std::string_view();
        const std::size_t start = at;
        if (text[at] == '(' || text[at] == ')') {
            ++at;
        } else if (text[at] == '\'') {
            const std::size_t close = text.find('\'', at + 1);
            at = close == std::string_view::npos ? text.size() : close + 1;
        } else {
            while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at])) && text[at] != '(' &&
                   text[at] != ')' && text[at] != '\'')
                ++at;
        }
        return text.substr(start, at - start);
    }

private:
    std::string_view text;
    std::size_t at = 0;
};

std::string_view unquoted(std::string_view word)
{
    return word.size() >= 2 && word.front() == '\'' && word.back() == '\'' ? word.substr(1, word.size() - 2) : word;
}

// The OID and NAMEs of a description, read without parsing it: what it is
// found by. None for a description that doesn't begin "( OID".
void keysof(std::string_view description, std::vector<std::string_view>& keys)
{
    tokens words(description);
    if (words.next() != "(")
        return;
    const std::string_view oid = unquoted(words.next());
    if (oid.empty() || oid == "(" || oid == ")" || same(oid, "NAME"))
        return;
    keys.push_back(oid);
    for (std::string_view word = words.next(); !word.empty() && word != ")"; word = words.next()) {
        if (word == "(") { // a list of something else: passed over
            while (!word.empty() && word != ")")
                word = words.next();
            continue;
        }
        if (!same(word, "NAME"))
            continue;
        word = words.next();
        if (word != "(") {
            keys.push_back(unquoted(word));
            return;
        }
        for (word = words.next(); !word.empty() && word != ")"; word = words.next())
            keys.push_back(unquoted(word));
        return;
    }
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
bool parse(std::string_view description, parsed* (*parser)(const char*, int*, const char**, unsigned),
           void (*release)(parsed*), char* parsed::*oid, user use)
{
    const std::string text(description); // the parsers want a terminated string
    int code = 0;
    const char* error = nullptr;
    std::unique_ptr<parsed, void (*)(parsed*)> result(parser(text.c_str(), &code, &error, lenient), release);
    if (!result || !((*result).*oid))
        return false;
    use(*result);
    return true;
}

} // namespace

void schema::add(const std::string& type, const char* description)
{
    copies.emplace_back(description);
    addinplace(type, copies.back());
}

void schema::addinplace(const std::string& type, std::string_view description)
{
    if (type == "attributetypes")
        addtext(typekind, description);
    else if (type == "objectclasses")
        addtext(classkind, description);
    else if (type == "ditcontentrules")
        addtext(rulekind, description);
}

void schema::keep(std::shared_ptr<const void> owner)
{
    owners.push_back(std::move(owner));
}

void schema::addtext(kind which, std::string_view description)
{
    thread_local std::vector<std::string_view> found;
    found.clear();
    keysof(description, found);
    // A content rule is named by the OID of its structural class alone.
    if (which == rulekind && found.size() > 1)
        found.resize(1);
    const std::size_t at = texts[which].size();
    texts[which].push_back(description);
    for (std::string_view key : found)
        keys[which].emplace_back(keyhash(key), at);
    sorted[which] = found.empty() && sorted[which];
}

bool schema::build(std::string_view description, attributetype& made)
{
    return parse(description, ldap_str2attributetype, ldap_attributetype_free, &LDAPAttributeType::at_oid,
                 [&](const LDAPAttributeType& type) {
                     made.keys = strings(type.at_names);
                     made.keys.emplace_back(type.at_oid);
                     made.name = firstname(type.at_names, type.at_oid);
                     made.sup = type.at_sup_oid ? type.at_sup_oid : "";
                     made.syntax = type.at_syntax_oid ? type.at_syntax_oid : "";
                 });
}

bool schema::build(std::string_view description, objectclass& made)
{
    return parse(description, ldap_str2objectclass, ldap_objectclass_free, &LDAPObjectClass::oc_oid,
                 [&](const LDAPObjectClass& oc) {
                     made.keys = strings(oc.oc_names);
                     made.keys.emplace_back(oc.oc_oid);
                     made = {made.keys, firstname(oc.oc_names, oc.oc_oid), oc.oc_oid, strings(oc.oc_sup_oids),
                             oc.oc_kind, strings(oc.oc_at_oids_must), strings(oc.oc_at_oids_may)};
                 });
}

bool schema::build(std::string_view description, contentrule& made)
{
    return parse(description, ldap_str2contentrule, ldap_contentrule_free, &LDAPContentRule::cr_oid,
                 [&](const LDAPContentRule& rule) {
                     made = {{rule.cr_oid}, strings(rule.cr_oc_oids_aux), strings(rule.cr_at_oids_must),
                             strings(rule.cr_at_oids_may)};
                 });
}

template <typename parsed>
const parsed* schema::find(kind which, const std::string& nameoroid, std::unordered_map<std::size_t, parsed>& made) const
{
    auto& index = keys[which];
    if (!sorted[which]) {
        // By hash, then by position: of two definitions with one name the first counts.
        std::sort(index.begin(), index.end());
        sorted[which] = true;
    }
    const std::uint64_t hash = keyhash(nameoroid);
    for (auto at = std::lower_bound(index.begin(), index.end(), std::make_pair(hash, std::size_t(0)));
         at != index.end() && at->first == hash; ++at) {
        auto known = made.find(at->second);
        if (known == made.end()) {
            parsed definition;
            if (!build(texts[which][at->second], definition))
                definition = parsed(); // doesn't parse: no names
            known = made.emplace(at->second, std::move(definition)).first;
        }
        // The hash may match by chance: the parsed names decide.
        for (const std::string& key : known->second.keys)
            if (same(key, nameoroid))
                return &known->second;
    }
    return nullptr;
}

const schema::attributetype* schema::findattribute(const std::string& nameoroid) const
{
    return find(typekind, nameoroid, attributes);
}

const schema::objectclass* schema::findclass(const std::string& nameoroid) const
{
    return find(classkind, nameoroid, classes);
}

const schema::contentrule* schema::findrule(const std::string& oid) const
{
    return find(rulekind, oid, rules);
}

std::string schema::attributename(const std::string& nameoroid) const
{
    const attributetype* type = findattribute(nameoroid);
    return type ? type->name : nameoroid;
}

std::vector<std::string> schema::attributenames(const std::string& nameoroid) const
{
    const attributetype* type = findattribute(nameoroid);
    return type ? type->keys : std::vector<std::string>();
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

std::string adddescriptions(const inplaceentry& subschema, schema& into)
{
    std::string stamp;
    for (const auto& attribute : subschema.attributes) {
        const std::string type = lower(attribute.first);
        if (type == "modifytimestamp" && !attribute.second.empty())
            stamp = std::string(attribute.second.front());
        for (const std::string_view value : attribute.second)
            into.addinplace(type, value);
    }
    into.keep(subschema.owner);
    return stamp;
}

} // namespace openldap
