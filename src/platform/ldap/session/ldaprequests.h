// What each of the session's requests asks the server, and how its answer
// is read: the one place that names the root DSE's, the subschema's and the
// schema objects' attributes. ldaprounds.h says when each goes out.
//
// The readers may throw std::bad_alloc and nothing else: every other
// failure is their status.
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/wire/ldapwire.h"

#include <functional>
#include <string>
#include <vector>

namespace openldap {

// What the root DSE says about the server's naming contexts and schema.
struct rootdse {
    std::vector<std::string> namingcontexts;
    std::string defaultnamingcontext;
    std::string configurationnamingcontext; // Active Directory's
    std::string schemanamingcontext;        // Active Directory's
    std::string subschemasubentry;
    bool activedirectory = false;           // its capabilities say so
};

// The root DSE's attributes the session uses, and reading them out.
searchrequest rootdseread();
rootdse readroot(const entry& found);

// The entry `dn` itself, with `attributes`.
searchrequest entryread(const std::string& dn, std::vector<std::string> attributes);
// The account search: at most two entries below `base` matching `filter`.
searchrequest accountsearch(const std::string& base, const std::string& filter,
                            std::vector<std::string> attributes);
// The NetBIOS name on the crossRef object of the domain `domaindn`, in the
// configuration naming context `configuration`.
searchrequest netbiossearch(const std::string& configuration, const std::string& domaindn);

// The schema's stamps: the schema container's modifyTimeStamp (Active
// Directory) and the subschema entry's modifyTimestamp.
searchrequest containerstamp(const std::string& container);
searchrequest subschemastamp(const std::string& subentry);
std::string stampof(const entry& found);
// The type, class and content-rule descriptions of the subschema entry
// `subentry`, with its stamp.
searchrequest subschemaread(const std::string& subentry);

// Active Directory's schema objects in the container `container`: every
// auxiliary class's, and the classes' or the attributes' named `names`.
searchrequest auxiliaryobjects(const std::string& container);
searchrequest classobjects(const std::string& container, const std::vector<std::string>& names);
searchrequest attributeobjects(const std::string& container, const std::vector<std::string>& names);

// Reads the answer to a search, each entry to `take` as finish() hands it
// over, and logs how many came.
status finishsearch(wire& server, wire::pending& request, const std::function<bool(entry&&)>& take);
// Reads the answer to a base read of `dn` into `found`: an entry the server
// sends under any other DN is passed over, and one after it ends the read.
// Fails when none is named `dn`.
status finishread(wire& server, wire::pending& request, const std::string& dn, entry& found);
// The same for the subschema entry `dn`, read in place.
status finishsubschema(wire& server, wire::pending& request, const std::string& dn, inplaceentry& found);

} // namespace openldap
