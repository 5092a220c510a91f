// The site the domain's controllers last said this client is in, kept as a
// record file (ldaprecord.h) in the cache directory for a while: an hour for
// a site, ten minutes for none, since a laptop moves.
#pragma once

#include <ctime>
#include <string>

namespace openldap {

// The record for `domain` as of `now`: true with `site` ("" for none) when
// there is one still in force. Never throws but std::bad_alloc.
bool readsite(const std::string& directory, const std::string& domain, std::time_t now, std::string& site);
// Remembers `site` ("" for none) for `domain` from `now` on.
void writesite(const std::string& directory, const std::string& domain, const std::string& site, std::time_t now);

} // namespace openldap
