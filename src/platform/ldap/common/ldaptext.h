// Text as the directory gives it (UTF-8) and as the program uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace openldap {

// UTF-8 to the character set of the user's locale; unchanged when that is
// UTF-8, and "?" for each character the locale's set can't hold (and for a
// broken sequence). The position of each such "?" is appended to
// `substituted` when given.
std::string tonarrow(const std::string& utf8, std::vector<std::size_t>* substituted = nullptr);

// ASCII letters in lower case: attribute names, OIDs and DNs compare so;
// and in upper case: SASL mechanisms are named so.
std::string lower(std::string text);
std::string upper(std::string text);
// UTF-8 text folded for a comparison that ignores case as the directory's
// does: each character upper-cased, then lower-cased, as Unicode maps it one
// character to one ("ÅLICE" and "ålice", "ILKER" and "ılker", "ΣΑΣ" and
// "σας" fold alike; "ß" and "SS" don't), whatever the user's locale. Bytes
// that are no UTF-8 are kept as they are.
std::string foldunicode(const std::string& utf8);

// FNV-1a over `text`, ASCII letters folded to lower case when `foldcase`:
// stable across builds and runs, for hash tables and file names alike.
std::uint64_t fnv1a(std::string_view text, bool foldcase = false);
// The same as 16 hex digits, for file names and checksums.
std::string hexhash(std::string_view text);

// The items with `separator` between each two.
std::string join(const std::vector<std::string>& items, const std::string& separator);

// The first RDN of a DN, exactly as written ("CN=Alice Example").
std::string firstrdn(const std::string& dn);

} // namespace openldap
