// Text as the directory gives it (UTF-8) and as the program uses it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace openldap {

// UTF-8 to the character set of the user's locale; unchanged when that is
// UTF-8, and "?" for each character the locale's set can't hold (and for a
// broken sequence). The position of each such "?" is appended to
// `substituted` when given.
std::string tonarrow(const std::string& utf8, std::vector<std::size_t>* substituted = nullptr);

// ASCII letters in lower case: attribute names, OIDs and DNs compare so.
std::string lower(std::string text);

// The items with `separator` between each two.
std::string join(const std::vector<std::string>& items, const std::string& separator);

// The first RDN of a DN, exactly as written ("CN=Alice Example").
std::string firstrdn(const std::string& dn);

} // namespace openldap
