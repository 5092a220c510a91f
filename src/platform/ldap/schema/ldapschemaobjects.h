// Active Directory keeps its schema as objects in the schema naming context:
// a classSchema object per class, an attributeSchema object per attribute.
// Its subschema entry describes all of them, thousands, where a run needs a
// few classes and the attributes its user holds; these read the objects as
// the descriptions the subschema entry gives for them, so that the layout
// (ldaplayout.h) comes out the same from either.
//
// The subschema entry is made from the same objects:
// - a class: MUST its mustContain then systemMustContain values, MAY its
//   mayContain then systemMayContain, as stored; SUP its subClassOf (none for
//   top, its own); objectClassCategory 1 STRUCTURAL, 2 ABSTRACT, 3 AUXILIARY;
// - a structural class's content rule: AUX its systemAuxiliaryClass then
//   auxiliaryClass values, MUST and MAY those classes' own lists, one after
//   the other;
// - an attribute: SYNTAX from its attributeSyntax and oMSyntax.
// A value that is no plain name or OID is passed over: it could not stand in
// a description.
#pragma once

#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/schema/ldapschema.h"

#include <string>
#include <vector>

namespace openldap {

// What the objects are read with.
extern const std::vector<const char*> classobjectattributes;
extern const std::vector<const char*> attributeobjectattributes;

// The class object's lDAPDisplayName, lower case; "" when it has none fit
// for a description.
std::string classobjectname(const entry& object);

// The class object's superclass; "" for none (top is its own).
std::string superclass(const entry& object);
// The auxiliary classes a class object names, system ones first.
std::vector<std::string> auxiliaryclasses(const entry& object);

// Adds the class object's description to `into`; false when it has no
// lDAPDisplayName or governsID fit for one (a plain name, a numeric OID).
bool addclassobject(const entry& object, schema& into);

// Adds the content rule of the structural class `object`, whose auxiliary
// class objects (in the order auxiliaryclasses gives them) are
// `auxiliaries`; nothing when it names none.
void addcontentrule(const entry& object, const std::vector<const entry*>& auxiliaries, schema& into);

// Adds the attribute object's description to `into`; false when it has no
// lDAPDisplayName or attributeID fit for one (a plain name, a numeric OID).
bool addattributeobject(const entry& object, schema& into);

} // namespace openldap
