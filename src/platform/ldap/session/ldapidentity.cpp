#include "platform/ldap/session/ldapidentity.h"

#include "platform/ldap/schema/ldapentry.h"
#include "platform/ldap/common/ldaptext.h"

#include <ldap.h>

#include <algorithm>
#include <cctype>
#include <new>

namespace openldap {

namespace {

bool startswith(const std::string& text, const std::string& prefix)
{
    return lower(text.substr(0, prefix.size())) == prefix;
}

// A DN in one spelling, so that two ways of writing it compare equal.
std::string normalizeddn(const std::string& dn)
{
    char* normal = nullptr;
    if (ldap_dn_normalize(dn.c_str(), LDAP_DN_FORMAT_LDAP, &normal, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
        return lower(dn);
    std::string result = normal ? lower(normal) : std::string();
    ldap_memfree(normal);
    return result;
}

} // namespace

std::string barename(const std::string& name)
{
    std::string result = name;
    std::string::size_type cut = result.rfind('\\');
    if (cut != std::string::npos)
        result.erase(0, cut + 1);
    cut = result.find('@');
    if (cut != std::string::npos)
        result.erase(cut);
    return result;
}

bool samedn(const std::string& first, const std::string& second)
{
    return normalizeddn(first) == normalizeddn(second);
}

bool innamingcontext(const std::string& dn, const std::vector<std::string>& namingcontexts)
{
    const std::string normal = normalizeddn(dn);
    if (normal.empty())
        return false;
    for (const std::string& context : namingcontexts) {
        const std::string suffix = normalizeddn(context);
        if (suffix.empty() || normal.size() <= suffix.size() + 1)
            continue;
        const std::size_t at = normal.size() - suffix.size();
        if (normal.compare(at, suffix.size(), suffix) == 0 && normal[at - 1] == ',')
            return true;
    }
    return false;
}

std::string whoamientry(const std::string& whoami, const std::vector<std::string>& namingcontexts)
{
    if (!startswith(whoami, "dn:") || !innamingcontext(whoami.substr(3), namingcontexts))
        return std::string();
    return whoami.substr(3);
}

std::string accountsource(const std::string& whoami, const std::string& saslname, const std::string& loginname)
{
    if (startswith(whoami, "u:")) {
        const std::string name = whoami.substr(2);
        const std::string bare = barename(name);
        if (!bare.empty() && !startswith(bare, "s-1-"))
            return name;
    }
    // A plain name or a Kerberos principal, never an identity in DN form.
    if (!saslname.empty() && saslname.find('=') == std::string::npos)
        return saslname;
    return loginname;
}

account resolveaccount(const std::string& source, const domainnames& own)
{
    auto isown = [&](const std::string& domain) {
        const std::string name = lower(domain);
        return !name.empty() && (name == lower(own.dnsdomain) || name == lower(own.realm) || name == lower(own.netbios));
    };
    const std::string::size_type slash = source.rfind('\\');
    const std::string::size_type at = source.find('@', slash == std::string::npos ? 0 : slash + 1);
    const bool ownprefix = slash == std::string::npos || isown(source.substr(0, slash));
    const bool ownsuffix = at == std::string::npos || isown(source.substr(at + 1));
    if (ownprefix && ownsuffix)
        return {barename(source), false};
    return {source, true};
}

bool hasnetbiosprefix(const std::string& source)
{
    return source.find('\\') != std::string::npos;
}

std::string dnsdomainof(const std::string& dn)
{
    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAP) != LDAP_SUCCESS)
        return std::string();
    std::string domain;
    for (int i = 0; parsed && parsed[i]; ++i) {
        const LDAPAVA* ava = parsed[i][0];
        if (ava && !parsed[i][1] && lower(std::string(ava->la_attr.bv_val, ava->la_attr.bv_len)) == "dc")
            domain += (domain.empty() ? "" : ".") + std::string(ava->la_value.bv_val, ava->la_value.bv_len);
    }
    ldap_dnfree(parsed);
    return domain;
}

std::string domaindn(const std::string& domain)
{
    std::string dn;
    for (std::size_t at = 0; at <= domain.size();) {
        const std::size_t dot = std::min(domain.find('.', at), domain.size());
        const std::string label = domain.substr(at, dot - at);
        if (label.empty() || !std::all_of(label.begin(), label.end(), [](unsigned char c) {
                return std::isalnum(c) || c == '-';
            }))
            return std::string();
        dn += (dn.empty() ? "DC=" : ",DC=") + label;
        at = dot + 1;
    }
    return dn;
}

std::string searchbase(const std::string& configured, const std::string& defaultnamingcontext,
                       const std::vector<std::string>& namingcontexts)
{
    if (!configured.empty())
        return configured;
    if (!defaultnamingcontext.empty())
        return defaultnamingcontext;
    return namingcontexts.empty() ? std::string() : namingcontexts.front();
}

std::string urihost(const std::string& uris)
{
    const std::string first = uris.substr(0, uris.find_first_of(" ,"));
    LDAPURLDesc* url = nullptr;
    if (startswith(first, "ldapi://") || ldap_url_parse(first.c_str(), &url) != LDAP_URL_SUCCESS)
        return std::string();
    std::string host = url->lud_host ? url->lud_host : "";
    ldap_free_urldesc(url);
    return host;
}

std::string filtervalue(const std::string& value)
{
    berval raw = {value.size(), const_cast<char*>(value.data())};
    berval escaped = {0, nullptr};
    if (ldap_bv2escaped_filter_value(&raw, &escaped) != 0)
        throw std::bad_alloc();
    const std::string result(escaped.bv_val, escaped.bv_len);
    ber_memfree(escaped.bv_val);
    return result;
}

const std::vector<const char*> accountattributes = {"sAMAccountName", "uid", "userPrincipalName"};

bool isaccount(const entry& found, const account& user, const std::string& base)
{
    if (!samedn(found.dn, base) && !innamingcontext(found.dn, {base}))
        return false;
    const std::string name = foldunicode(user.name);
    const auto holds = [&](const char* attribute) {
        for (const std::string& value : found.values(attribute))
            if (foldunicode(value) == name)
                return true;
        return false;
    };
    return user.whole ? holds("userPrincipalName") : holds("sAMAccountName") || holds("uid");
}

std::string accountfilter(const account& user, bool activedirectory)
{
    const std::string value = filtervalue(user.name);
    if (user.whole)
        return "(userPrincipalName=" + value + ")";
    if (activedirectory)
        return "(sAMAccountName=" + value + ")";
    return "(|(sAMAccountName=" + value + ")(uid=" + value + "))";
}

bool isactivedirectory(const std::vector<std::string>& capabilities)
{
    // LDAP_CAP_ACTIVE_DIRECTORY_OID
    return std::find(capabilities.begin(), capabilities.end(), "1.2.840.113556.1.4.800") != capabilities.end();
}

} // namespace openldap
