#include "platform/ldap/locate/ldapmachine.h"

#include "platform/ldap/common/ldaptext.h"
#include "platform/ldap/locate/ldapnetwork.h"

#include <krb5.h>
#include <unistd.h>
#include <ldap.h>

#include <cstdlib>
#include <cstring>

namespace openldap {

namespace {

std::string readkerberosrealm()
{
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0)
        return std::string();
    char* realm = nullptr;
    std::string result;
    if (krb5_get_default_realm(context, &realm) == 0 && realm) {
        result = realm;
        krb5_free_default_realm(context, realm);
    }
    krb5_free_context(context);
    return result;
}

} // namespace

std::string kerberosrealm()
{
    // krb5.conf doesn't change within a run; both the locator and the
    // account's domain names ask.
    static const std::string realm = readkerberosrealm();
    return realm;
}

std::string ticketrealm()
{
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0)
        return std::string();
    std::string result;
    krb5_ccache cache = nullptr;
    krb5_principal principal = nullptr;
    if (krb5_cc_default(context, &cache) == 0) {
        if (krb5_cc_get_principal(context, cache, &principal) == 0) {
            const krb5_data* realm = krb5_princ_realm(context, principal);
            if (realm && realm->data)
                result.assign(realm->data, realm->length);
            krb5_free_principal(context, principal);
        }
        krb5_cc_close(context, cache);
    }
    krb5_free_context(context);
    return result;
}

std::string dnsdomain()
{
    const resolver dns;
    std::string domain = dns.ready && dns.state.dnsrch[0] ? dns.state.dnsrch[0] : "";
    if (domain.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0 && std::strchr(host, '.'))
            domain = std::strchr(host, '.') + 1;
    }
    return lower(domain);
}

bool ldapunconfigured()
{
    if (std::getenv("LDAPURI") || std::getenv("LDAPHOST"))
        return false;
    char* uri = nullptr;
    if (ldap_get_option(nullptr, LDAP_OPT_URI, &uri) != LDAP_OPT_SUCCESS)
        return false;
    // libldap's built-in default, which no configuration file spells so.
    const bool unconfigured = !uri || !*uri || std::strcmp(uri, "ldap://localhost:389/??base") == 0;
    ldap_memfree(uri);
    return unconfigured;
}

} // namespace openldap
