// What the LDAP backend needs of a directory's subschema: which attribute a
// name stands for, whether its values are strings, an entry's structural
// class, and the attribute names that class and its relatives declare.
//
// A subschema holds thousands of definitions of which a run needs a few
// dozen. Descriptions are only indexed by their OID and NAMEs as they are
// added, in place, and parsed with libldap's own schema parsers when first
// asked for.
#pragma once

#include "platform/ldap/schema/ldapentry.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace openldap {

class schema {
public:
    // Takes one value of the subschema attribute `type` (in lower case):
    // attributetypes, objectclasses or ditcontentrules; values of any other
    // attribute, and descriptions that don't parse, are skipped.
    void add(const std::string& type, const char* description);
    // The same without a copy: the text must outlive the schema, e.g. by
    // handing its owner to keep().
    void addinplace(const std::string& type, std::string_view description);
    void keep(std::shared_ptr<const void> owner);

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
        std::vector<std::string> keys; // every NAME and the OID
    };
    struct objectclass {
        std::vector<std::string> keys; // every NAME and the OID
        std::string name;
        std::string oid;
        std::vector<std::string> sups;
        int kind = 1; // 0 abstract, 1 structural, 2 auxiliary
        std::vector<std::string> must, may;
    };
    struct contentrule {
        std::vector<std::string> keys; // the OID of its structural class
        std::vector<std::string> aux, must, may;
    };

    enum kind { typekind, classkind, rulekind };

    void addtext(kind which, std::string_view description);
    // The first definition of this kind known by `nameoroid` that parses;
    // null when none does.
    const attributetype* findattribute(const std::string& nameoroid) const;
    const objectclass* findclass(const std::string& nameoroid) const;
    const contentrule* findrule(const std::string& oid) const;
    template <typename parsed>
    const parsed* find(kind which, const std::string& nameoroid, std::unordered_map<std::size_t, parsed>& made) const;
    // Parses one description into a definition; false when it doesn't parse.
    static bool build(std::string_view description, attributetype& made);
    static bool build(std::string_view description, objectclass& made);
    static bool build(std::string_view description, contentrule& made);
    bool issuperclass(const objectclass& ancestor, const objectclass& descendant) const;
    // The classes whose lists an entry of class `top` gets, in declaration
    // order, each once: `top`, then its superclasses depth first (the first
    // `ownclasses`), then the auxiliary classes of `rule` and of the entry's
    // own `objectclasses`.
    std::vector<const objectclass*> classorder(const objectclass& top, const contentrule* rule,
                                               const std::vector<std::string>& objectclasses,
                                               std::size_t& ownclasses) const;

    // Each kind's descriptions, and (hash of a lower-cased OID or NAME,
    // position) pairs, sorted on first use.
    std::vector<std::string_view> texts[3];
    mutable std::vector<std::pair<std::uint64_t, std::size_t>> keys[3];
    mutable bool sorted[3] = {true, true, true};
    // What has been parsed so far, by position; a description that doesn't
    // parse is kept as having no names.
    mutable std::unordered_map<std::size_t, attributetype> attributes;
    mutable std::unordered_map<std::size_t, objectclass> classes;
    mutable std::unordered_map<std::size_t, contentrule> rules;
    std::deque<std::string> copies;                  // texts added by copy
    std::vector<std::shared_ptr<const void>> owners; // what keeps the others
};
// Adds the descriptions of a subschema entry read in place to `into`,
// which keeps the answer they stand in. Returns the entry's modifyTimestamp,
// "" when it has none.
std::string adddescriptions(const inplaceentry& subschema, schema& into);

} // namespace openldap
