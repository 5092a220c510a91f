#include "platform/ldap/ldapdiscovery.h"

#include "log/mylog.h"
#include "platform/ldap/ldaptext.h"

#include <krb5.h>
#include <ldap.h>

#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sstream>
#include <unistd.h>

namespace openldap {

namespace {

std::string dnsdomain()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return std::string();
    std::string name = host;
    if (name.find('.') == std::string::npos) {
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
            if (found->ai_canonname)
                name = found->ai_canonname;
            freeaddrinfo(found);
        }
    }
    std::string::size_type dot = name.find('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// "host:port host:port" from an SRV look-up of _ldap._tcp.<domain>.
std::string srvhosts(const std::string& domain)
{
    char* list = nullptr;
    const int result = ldap_domain2hostlist(domain.c_str(), &list);
    std::string hosts = result == LDAP_SUCCESS && list ? list : "";
    ldap_memfree(list);
    mylog.at(2) << "dns srv _ldap._tcp." << domain << ": " << (hosts.empty() ? "nothing" : hosts) << logend;
    return hosts;
}

} // namespace

std::string kerberosrealm()
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

std::string discoverdirectory()
{
    mylog.at(2) << "no directory server configured: looking for the domain's controllers" << logend;
    std::string domain = lower(kerberosrealm());
    const char* source = "the Kerberos default realm";
    if (domain.empty()) {
        domain = lower(dnsdomain());
        source = "the machine's DNS domain";
    }
    if (domain.empty()) {
        mylog.at(2) << "no domain: neither a Kerberos default realm nor a DNS domain" << logend;
        return std::string();
    }
    mylog.at(2) << "domain = " << domain << " (from " << source << ")" << logend;
    // The domain controllers first, then any directory server of the domain.
    std::string hosts = srvhosts("dc._msdcs." + domain);
    if (hosts.empty())
        hosts = srvhosts(domain);
    std::istringstream list(hosts);
    std::string uris;
    for (std::string host; list >> host;)
        uris += (uris.empty() ? "ldap://" : " ldap://") + host;
    return uris;
}

} // namespace openldap
