// Finding a domain controller with nothing configured, as a domain-joined
// Windows machine does: the domain from the Kerberos default realm or the
// machine's DNS domain; the client's site from a controller's answer to a
// connectionless "ping" (remembered for a while); the controllers of that
// site from DNS first, then those of the whole domain. All of it within one
// time budget, every step logged at level 2.
//
// This is the policy alone: everything it takes from the machine and the
// network comes through a locateenv (ldaplocateenv.h), and connecting is the
// caller's, who reports each failure back: the failover loop over the
// controllers it hands out is ldapfailover.h.
#pragma once

#include "platform/ldap/locate/ldapcandidates.h"
#include "platform/ldap/locate/ldaplocateenv.h"

#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace openldap {

// Orders SRV targets as RFC 2782 says: by priority, and within a priority
// at random with chances by weight. `random` gives numbers in [0, n).
void ordersrv(std::vector<srvtarget>& targets, const std::function<unsigned(unsigned)>& random);

// Whether a name from the network can be used as a DNS label (a site name):
// letters, digits, '-' and '_', 1 to 63 of them.
bool dnslabel(const std::string& name);
// Whether `name` is a DNS name: labels as dnslabel, 253 characters at most.
bool dnsname(const std::string& name);

// One search for a controller, for one run. Nothing it does throws but
// std::bad_alloc: every failure is an outcome, logged and kept for whynone().
class locator : public candidates {
public:
    // `budget`: for everything up to a connection (the run's time left);
    // `pingwait`: the longest wait for a controller's ping answer;
    // `querywait`: for one DNS query, UDP and TCP alike (a name server that
    // holds its TCP connection must not take the whole budget). `env` must
    // outlive the locator.
    locator(locateenv& env, std::chrono::milliseconds budget, std::chrono::milliseconds pingwait,
            std::chrono::milliseconds querywait = std::chrono::seconds(5));

    // Works out the domain(s) to look in; false (logged) when the machine
    // has neither a Kerberos default realm nor a DNS domain.
    bool start();

    // The next controller to try, doing the DNS look-ups and the site ping it
    // takes to know it; false when there are no more or the budget is spent.
    // REQUIRES: start.
    bool next(target& found) override;
    // Records why the controller last handed out could not be used (the
    // latest cause of each stands).
    void failed(const target& tried, const std::string& why) override;
    // Hands `targets` out again, in this order: controllers that did not
    // answer in time, worth another attempt while time is left.
    void retry(const std::vector<target>& targets) override;

    // What is left of the budget; never negative.
    std::chrono::milliseconds timeleft() const;
    // The domain whose controllers are being handed out.
    const std::string& domainname() const { return domain(); }
    // Whether the site used for them was the remembered one (`site`, "" for
    // none) rather than one a controller named in this run: then a
    // controller's answer is worth comparing with it, for a laptop that
    // moved. REQUIRES: start, and next handed out a controller.
    bool siteremembered(std::string& site) const
    {
        site = remembered;
        return fromrecord;
    }
    // Why no controller could be had: the domain looked in, what was found
    // and tried, and how to name a server instead.
    std::string whynone() const override;

private:
    // Where the search stands within the current domain.
    enum class stage {
        site,        // the remembered site's controllers come next
        domainwide,  // then the domain's, pinging them for the site
        knownsite,   // the domain's, the site being known (maybe as none)
        done,        // this domain's controllers are all handed out
        dnssilent,   // DNS doesn't answer: nothing more can be found
    };

    bool advance();
    void advancesite();
    void advancedomainwide();
    bool lookup(const std::string& name, std::vector<srvtarget>& found);
    void queue(const std::vector<srvtarget>& targets, const std::string& source);
    // The site the first of `targets` to answer names; `asked` says whether
    // any could be asked at all.
    std::string pingsite(const std::vector<srvtarget>& targets, bool& asked);
    bool anyfound() const { return !handed.empty() || !waiting.empty(); }
    const std::string& domain() const { return domains[current].first; }

    locateenv& env;
    std::chrono::steady_clock::time_point end;
    std::chrono::milliseconds pingwait, querywait;
    std::vector<std::pair<std::string, std::string>> domains; // name, where it came from
    std::size_t current = 0;                                   // into domains
    stage step = stage::site;
    bool fromrecord = false; // the site below came from the site record
    std::string remembered;
    std::deque<target> waiting;
    std::set<std::string> handed;      // host:port
    std::vector<std::string> outcomes; // "host:port (why)"
    std::vector<std::string> lookedup; // "name: answer"
};

} // namespace openldap
