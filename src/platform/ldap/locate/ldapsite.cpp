#include "platform/ldap/locate/ldapsite.h"

#include "platform/ldap/common/ldaprecord.h"

#include <cstdlib>

namespace openldap {

namespace {

const long long sitelifetime = 3600, nositelifetime = 600;

recordfile sitefile(const std::string& directory, const std::string& domain)
{
    return recordfile(directory, "site-" + hexhash(domain));
}

} // namespace

bool readsite(const std::string& directory, const std::string& domain, std::time_t now, std::string& site)
{
    const std::string contents = sitefile(directory, domain).read();
    recordlines file(contents);
    std::string_view line[4];
    for (std::string_view& text : line)
        if (!file.next(text))
            return false;
    const std::string until = field(line[3], "until");
    if (line[0] != "usermail site 1" || line[1] != "domain " + domain || line[2].substr(0, 5) != "site ")
        return false;
    char* end = nullptr;
    const long long expiry = std::strtoll(until.c_str(), &end, 10);
    // An expiry further off than the longest lifetime was not written by us.
    if (until.empty() || *end || expiry <= now || expiry > now + sitelifetime)
        return false;
    site = field(line[2], "site");
    return true;
}

void writesite(const std::string& directory, const std::string& domain, const std::string& site, std::time_t now)
{
    if (!oneline({domain, site}))
        return;
    const long long until = static_cast<long long>(now) + (site.empty() ? nositelifetime : sitelifetime);
    sitefile(directory, domain)
        .write("usermail site 1\ndomain " + domain + "\nsite " + site + "\nuntil " + std::to_string(until) + "\n");
}

} // namespace openldap
