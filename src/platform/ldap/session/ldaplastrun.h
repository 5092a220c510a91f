// What the last run against a server learned for one identity: where the
// user's entry was and how it was found, and where the schema's stamps are.
// The next run asks for all of it in the same round as "Who am I?" and the
// root DSE, and uses the answers only when that round confirms them.
#pragma once

#include <string>

namespace openldap {

struct lastrun {
    std::string dn;            // the user's entry
    bool searched = false;     // found by the account search, not "Who am I?"
    std::string base, filter;  // that search's
    std::string subentry;      // the root DSE's subschemaSubentry
    std::string schemacontext; // the root DSE's schemaNamingContext, or ""

    bool operator==(const lastrun& other) const
    {
        return dn == other.dn && searched == other.searched && base == other.base && filter == other.filter &&
               subentry == other.subentry && schemacontext == other.schemacontext;
    }
};

// The record for a server and identity (the SASL user name of the bind) in
// the cache directory `directory` (a record file: see ldaprecord.h). False
// when there is none to be trusted. Never throws but std::bad_alloc.
bool readlastrun(const std::string& directory, const std::string& server, const std::string& identity,
                 lastrun& last);
void writelastrun(const std::string& directory, const std::string& server, const std::string& identity,
                  const lastrun& last);

} // namespace openldap
