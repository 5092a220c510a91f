// What the locator takes from the machine and the network, behind one seam
// so that its policy (which domain, which site, which controllers in what
// order, within what time) can be tested with a scripted stand-in
// (tests/unit/ldaplocatortest.cpp) and without a network.
//
// The real one (ldapnetwork.cpp) asks the machine's resolver, sends UDP,
// reads krb5.conf and resolv.conf, and keeps the site record in the cache
// directory it was given.
//
// Every operation may throw std::bad_alloc and nothing else: a network or
// system failure comes back as an outcome with its text.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace openldap {

// One SRV record's target.
struct srvtarget {
    std::string host;
    unsigned port = 389, priority = 0, weight = 0;
};

class locateenv {
public:
    enum class dnsresult { found, none, silent };

    virtual ~locateenv() = default;

    // The realm of the user's own Kerberos ticket (the credential cache's
    // default principal), the machine's Kerberos default realm and its DNS
    // domain (resolv.conf's domain or first search entry, else what follows
    // the host name's first dot); "" when there is none.
    virtual std::string ticketrealm() = 0;
    virtual std::string realm() = 0;
    virtual std::string dnsdomain() = 0;

    // The SRV records of `name`, each name server asked once with a short
    // time-out, over UDP and TCP alike, and all of it within `wait`: found
    // (the targets, in the order DNS gave them), none (the name or its
    // records don't exist), or silent (no name server answered in time).
    // `text` says what DNS answered, for the log and a failure's text.
    virtual dnsresult querysrv(const std::string& name, std::chrono::milliseconds wait,
                               std::vector<srvtarget>& found, std::string& text) = 0;

    // Sends the datagram `request` to UDP port 389 of every address of each
    // of `hosts`, then waits at most `wait` for the first answer from an
    // address asked that `accept` takes: true with the host that sent it in
    // `from`. `asked` gets the hosts the request could be sent to.
    virtual bool ping(const std::vector<std::string>& hosts, const std::string& request,
                      std::chrono::milliseconds wait, const std::function<bool(std::string_view)>& accept,
                      std::string& from, std::vector<std::string>& asked) = 0;
    // A ping's message id: different for each ping of each run.
    virtual int pingid() = 0;

    // A steady clock for the budget, the wall clock for the site record, and
    // a number in [0, n) for spreading the load by SRV weight.
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual std::time_t walltime() = 0;
    virtual unsigned random(unsigned n) = 0;

    // The remembered site of `domain` ("" for none): false when there is no
    // record in force. writesite remembers one (ldapsite.h).
    virtual bool readsite(const std::string& domain, std::string& site) = 0;
    virtual void writesite(const std::string& domain, const std::string& site) = 0;
};

// The machine's own: its resolver, its network, krb5.conf, and the site
// record in `cachedirectory` ("" for none).
std::unique_ptr<locateenv> machinelocateenv(const std::string& cachedirectory);

} // namespace openldap
