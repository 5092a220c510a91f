#include "platform/ldap/schema/ldapschemaobjects.h"

#include "platform/ldap/common/ldaptext.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace openldap {

const std::vector<const char*> classobjectattributes = {
    "lDAPDisplayName", "governsID",   "subClassOf",      "objectClassCategory",  "mustContain",
    "systemMustContain", "mayContain", "systemMayContain", "systemAuxiliaryClass", "auxiliaryClass"};
const std::vector<const char*> attributeobjectattributes = {"lDAPDisplayName", "attributeID", "attributeSyntax",
                                                             "oMSyntax"};

namespace {

// A name or numeric OID as a description may hold it unquoted.
bool plain(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
    });
}

// A numeric OID ("1.2.840.113556.1.5.9"): what a description is keyed by.
bool numericoid(const std::string& word)
{
    if (word.empty() || word.front() == '.' || word.back() == '.' || word.find("..") != std::string::npos)
        return false;
    return std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c) || c == '.'; });
}

// The object's first value of `name` when it is plain, else "".
std::string plainfirst(const entry& object, const char* name)
{
    std::string value = object.first(name);
    return plain(value) ? value : std::string();
}

// The plain values of these attributes, one after the other.
std::vector<std::string> plainvalues(const entry& object, std::initializer_list<const char*> names)
{
    std::vector<std::string> result;
    for (const char* name : names)
        for (std::string& value : object.values(name))
            if (plain(value))
                result.push_back(std::move(value));
    return result;
}

// " FIELD ( a $ b )", or nothing for no names.
std::string list(const char* field, const std::vector<std::string>& names)
{
    if (names.empty())
        return std::string();
    return std::string(" ") + field + " ( " + join(names, " $ ") + " )";
}

// The LDAP syntax that an attribute object's syntax is shown as.
const char* syntaxof(const std::string& syntax, const std::string& omsyntax)
{
    struct row {
        const char* syntax;
        const char* omsyntax; // "" for any
        const char* ldap;
    };
    static const row rows[] = {
        {"2.5.5.1", "", "1.3.6.1.4.1.1466.115.121.1.12"},    // DN
        {"2.5.5.2", "", "1.3.6.1.4.1.1466.115.121.1.38"},    // OID
        {"2.5.5.3", "", "1.2.840.113556.1.4.1362"},          // case-sensitive string
        {"2.5.5.4", "", "1.2.840.113556.1.4.905"},           // teletex string
        {"2.5.5.5", "19", "1.3.6.1.4.1.1466.115.121.1.44"},  // printable string
        {"2.5.5.5", "", "1.3.6.1.4.1.1466.115.121.1.26"},    // IA5 string
        {"2.5.5.6", "", "1.3.6.1.4.1.1466.115.121.1.36"},    // numeric string
        {"2.5.5.7", "", "1.2.840.113556.1.4.903"},           // DN with binary
        {"2.5.5.8", "", "1.3.6.1.4.1.1466.115.121.1.7"},     // Boolean
        {"2.5.5.9", "", "1.3.6.1.4.1.1466.115.121.1.27"},    // integer
        {"2.5.5.10", "", "1.3.6.1.4.1.1466.115.121.1.40"},   // octet string
        {"2.5.5.11", "23", "1.3.6.1.4.1.1466.115.121.1.53"}, // UTC time
        {"2.5.5.11", "", "1.3.6.1.4.1.1466.115.121.1.24"},   // generalized time
        {"2.5.5.12", "", "1.3.6.1.4.1.1466.115.121.1.15"},   // directory string
        {"2.5.5.13", "", "1.3.6.1.4.1.1466.115.121.1.43"},   // presentation address
        {"2.5.5.14", "", "1.2.840.113556.1.4.904"},          // DN with string
        {"2.5.5.15", "", "1.2.840.113556.1.4.907"},          // security descriptor
        {"2.5.5.16", "", "1.2.840.113556.1.4.906"},          // large integer
        {"2.5.5.17", "", "1.3.6.1.4.1.1466.115.121.1.40"},   // SID
    };
    for (const row& candidate : rows)
        if (syntax == candidate.syntax && (!*candidate.omsyntax || omsyntax == candidate.omsyntax))
            return candidate.ldap;
    return nullptr;
}

} // namespace

std::string classobjectname(const entry& object)
{
    return lower(plainfirst(object, "lDAPDisplayName"));
}

std::string superclass(const entry& object)
{
    const std::string sup = plainfirst(object, "subClassOf");
    return lower(sup) == classobjectname(object) ? std::string() : sup;
}

std::vector<std::string> auxiliaryclasses(const entry& object)
{
    return plainvalues(object, {"systemAuxiliaryClass", "auxiliaryClass"});
}

bool addclassobject(const entry& object, schema& into)
{
    const std::string name = plainfirst(object, "lDAPDisplayName"), oid = plainfirst(object, "governsID");
    if (name.empty() || !numericoid(oid))
        return false;
    std::string text = "( " + oid + " NAME '" + name + "'";
    const std::string sup = superclass(object);
    if (!sup.empty())
        text += " SUP " + sup;
    const std::string category = object.first("objectClassCategory");
    text += category == "1" ? " STRUCTURAL" : category == "2" ? " ABSTRACT" : category == "3" ? " AUXILIARY" : "";
    text += list("MUST", plainvalues(object, {"mustContain", "systemMustContain"}));
    text += list("MAY", plainvalues(object, {"mayContain", "systemMayContain"}));
    into.add("objectclasses", (text + " )").c_str());
    return true;
}

void addcontentrule(const entry& object, const std::vector<const entry*>& auxiliaries, schema& into)
{
    const std::string name = plainfirst(object, "lDAPDisplayName"), oid = plainfirst(object, "governsID");
    const std::vector<std::string> aux = auxiliaryclasses(object);
    if (name.empty() || !numericoid(oid) || aux.empty())
        return;
    std::vector<std::string> must, may;
    for (const entry* auxiliary : auxiliaries) {
        for (std::string& value : plainvalues(*auxiliary, {"mustContain", "systemMustContain"}))
            must.push_back(std::move(value));
        for (std::string& value : plainvalues(*auxiliary, {"mayContain", "systemMayContain"}))
            may.push_back(std::move(value));
    }
    const std::string text =
        "( " + oid + " NAME '" + name + "'" + list("AUX", aux) + list("MUST", must) + list("MAY", may) + " )";
    into.add("ditcontentrules", text.c_str());
}

bool addattributeobject(const entry& object, schema& into)
{
    const std::string name = plainfirst(object, "lDAPDisplayName"), oid = plainfirst(object, "attributeID");
    if (name.empty() || !numericoid(oid))
        return false;
    const char* syntax = syntaxof(object.first("attributeSyntax"), object.first("oMSyntax"));
    std::string text = "( " + oid + " NAME '" + name + "'";
    if (syntax)
        text += std::string(" SYNTAX ") + syntax;
    into.add("attributetypes", (text + " )").c_str());
    return true;
}

} // namespace openldap
