// The locator's environment on this machine: its resolver and network,
// krb5.conf, the clocks, and the site record in the cache directory.
#include "platform/clock.h"
#include "platform/ldap/locate/ldaplocateenv.h"
#include "platform/ldap/locate/ldapmachine.h"
#include "platform/ldap/locate/ldapnetwork.h"
#include "platform/ldap/locate/ldapsite.h"

#include <random>
#include <unistd.h>

namespace openldap {

namespace {

class machineenv : public locateenv {
public:
    explicit machineenv(const std::string& cachedirectory)
        : directory(cachedirectory),
          // Spreading the load needs no strong randomness (std::random_device
          // may throw where no entropy source is open to it).
          engine(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 static_cast<unsigned>(::getpid()))
    {
    }

    std::string ticketrealm() override { return openldap::ticketrealm(); }
    std::string realm() override { return kerberosrealm(); }
    std::string dnsdomain() override { return openldap::dnsdomain(); }
    dnsresult querysrv(const std::string& name, std::chrono::milliseconds wait, std::vector<srvtarget>& found,
                       std::string& text) override
    {
        return openldap::querysrv(name, wait, found, text);
    }
    bool ping(const std::vector<std::string>& hosts, const std::string& request, std::chrono::milliseconds wait,
              const std::function<bool(std::string_view)>& accept, std::string& from,
              std::vector<std::string>& asked) override
    {
        return udpask(hosts, 389, request, wait, accept, from, asked);
    }
    int pingid() override
    {
        return static_cast<int>((static_cast<unsigned>(::getpid()) << 8 | (++serial & 0xff)) & 0x7fffffff);
    }
    std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
    std::time_t walltime() override { return platform::walltime(); }
    unsigned random(unsigned n) override { return std::uniform_int_distribution<unsigned>(0, n - 1)(engine); }
    bool readsite(const std::string& domain, std::string& site) override
    {
        return openldap::readsite(directory, domain, walltime(), site);
    }
    void writesite(const std::string& domain, const std::string& site) override
    {
        openldap::writesite(directory, domain, site, walltime());
    }

private:
    std::string directory;
    std::minstd_rand engine;
    unsigned serial = 0;
};

} // namespace

std::unique_ptr<locateenv> machinelocateenv(const std::string& cachedirectory)
{
    return std::make_unique<machineenv>(cachedirectory);
}

} // namespace openldap
