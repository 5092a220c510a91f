// What the LDAP backend needs of a directory's subschema: which attribute a
// name stands for, whether its values are strings, an entry's structural
// class, and the attribute names that class and its relatives declare.
// Descriptions are parsed with libldap's own schema parsers.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace openldap {

class schema {
public:
    // Takes one value of the subschema attribute `type` (in lower case):
    // attributetypes, objectclasses or ditcontentrules; values of any other
    // attribute, and descriptions that don't parse, are skipped.
    void add(const std::string& type, const char* description);

    // Each takes one value of attributeTypes, objectClasses or
    // dITContentRules; a value that doesn't parse is skipped.
    void addattributetype(const char* description);
    void addobjectclass(const char* description);
    void addcontentrule(const char* description);

    // The attribute type's first NAME (or its OID) for any of its names or its
    // OID, in any letter case; an unknown name is returned as it is.
    std::string attributename(const std::string& nameoroid) const;
    // Every NAME of the attribute type and its OID; empty for an unknown one.
    std::vector<std::string> attributenames(const std::string& nameoroid) const;
    // Whether the attribute's syntax (found through SUP) holds text.
    bool isstring(const std::string& nameoroid) const;

    // The most specific structural class among an entry's objectClass
    // values, under its first NAME; empty when there is none.
    std::string structuralclass(const std::vector<std::string>& objectclasses) const;

    // The names that the structural class declares mandatory and optional:
    // its own, its superclasses' (depth first, in SUP order), its DIT content
    // rule's and that rule's auxiliary classes', then the entry's own
    // auxiliary classes'. Each name once, mandatory names not repeated among
    // the optional ones.
    void attributelists(const std::string& structural, const std::vector<std::string>& objectclasses,
                        std::vector<std::string>& mandatory, std::vector<std::string>& optional) const;

private:
    struct attributetype {
        std::string name;
        std::string sup;
        std::string syntax;
        std::vector<std::string> aliases; // every NAME and the OID
    };
    struct objectclass {
        std::string name;
        std::string oid;
        std::vector<std::string> sups;
        int kind = 1; // 0 abstract, 1 structural, 2 auxiliary
        std::vector<std::string> must, may;
    };
    struct contentrule {
        std::vector<std::string> aux, must, may;
    };

    const attributetype* findattribute(const std::string& nameoroid) const;
    const objectclass* findclass(const std::string& nameoroid) const;
    bool issuperclass(const objectclass& ancestor, const objectclass& descendant) const;

    std::vector<attributetype> attributes;
    std::vector<objectclass> classes;
    std::vector<contentrule> rules;
    // Lower-cased names and OIDs to positions in the vectors above.
    std::unordered_map<std::string, std::size_t> attributeindex, classindex, ruleindex;
};

} // namespace openldap
