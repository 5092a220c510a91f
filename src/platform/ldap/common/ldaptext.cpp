#include "platform/ldap/common/ldaptext.h"

#include <cstdio>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <climits>
#include <cwchar>
#include <cwctype>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace openldap {

std::string tonarrow(const std::string& utf8, std::vector<std::size_t>* substituted)
{
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || std::strcmp(codeset, "UTF-8") == 0)
        return utf8;
    iconv_t convert = iconv_open(codeset, "UTF-8");
    if (convert == reinterpret_cast<iconv_t>(-1))
        return utf8;
    std::string result;
    char buffer[256];
    char* in = const_cast<char*>(utf8.data());
    std::size_t inleft = utf8.size();
    while (inleft > 0) {
        char* out = buffer;
        std::size_t outleft = sizeof buffer;
        std::size_t done = iconv(convert, &in, &inleft, &out, &outleft);
        result.append(buffer, out - buffer);
        if (done != static_cast<std::size_t>(-1) || errno == E2BIG)
            continue;
        // A character the target can't hold, or a broken sequence: one "?"
        // in its place, then on with the next character.
        if (substituted)
            substituted->push_back(result.size());
        result += '?';
        do {
            ++in;
            --inleft;
        } while (inleft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
    }
    iconv_close(convert);
    return result;
}

std::string firstrdn(const std::string& dn)
{
    for (std::size_t at = 0; at < dn.size(); ++at) {
        if (dn[at] == '\\')
            ++at; // an escaped character, a comma included
        else if (dn[at] == ',')
            return dn.substr(0, at);
    }
    return dn;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string foldunicode(const std::string& utf8)
{
    // The C.UTF-8 locale holds Unicode's case mapping whatever LC_CTYPE says.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (!unicode)
        return lower(utf8);
    const locale_t previous = uselocale(unicode);
    std::string result;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (std::size_t at = 0; at < utf8.size();) {
        wchar_t character = 0;
        const std::size_t length = std::mbrtowc(&character, &utf8[at], utf8.size() - at, &state);
        if (length == 0 || length > utf8.size() - at) { // a NUL, or no UTF-8 here
            state = std::mbstate_t{};
            result += utf8[at++];
            continue;
        }
        std::mbstate_t out{};
        const std::size_t written = std::wcrtomb(bytes, static_cast<wchar_t>(towlower_l(towupper_l(character, unicode), unicode)), &out);
        if (written == static_cast<std::size_t>(-1))
            result.append(utf8, at, length);
        else
            result.append(bytes, written);
        at += length;
    }
    uselocale(previous);
    return result;
}

std::uint64_t fnv1a(std::string_view text, bool foldcase)
{
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= foldcase ? static_cast<unsigned char>(std::tolower(c)) : c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string hexhash(std::string_view text)
{
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(text)));
    return hex;
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string join(const std::vector<std::string>& items, const std::string& separator)
{
    std::string joined;
    for (std::size_t index = 0; index < items.size(); ++index)
        joined += (index ? separator : std::string()) + items[index];
    return joined;
}

} // namespace openldap
