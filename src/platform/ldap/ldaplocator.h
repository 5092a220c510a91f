// Finding a domain controller with nothing configured, as a domain-joined
// Windows machine does: the domain from the Kerberos default realm or the
// machine's DNS domain; the client's site from a controller's answer to a
// connectionless "ping" (remembered for a while in the user's cache
// directory); the controllers of that site from DNS first, then those of the
// whole domain. All of it, connection attempts included, within one time
// budget, and every step logged at level 2.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace openldap {

// A point in time by which a piece of work must be done.
class deadline {
public:
    explicit deadline(std::chrono::milliseconds budget) : end(std::chrono::steady_clock::now() + budget) {}
    // What is left of the budget; never negative.
    std::chrono::milliseconds left() const;
    bool passed() const { return left().count() == 0; }

private:
    std::chrono::steady_clock::time_point end;
};

// One SRV record's target.
struct srvtarget {
    std::string host;
    unsigned port = 389, priority = 0, weight = 0;
};

// Orders SRV targets as RFC 2782 says: by priority, and within a priority
// at random with chances by weight. `random` gives numbers in [0, n).
void ordersrv(std::vector<srvtarget>& targets, const std::function<unsigned(unsigned)>& random);

// Whether a name from the network can be used as a DNS label (a site name):
// letters, digits, '-' and '_', 1 to 63 of them.
bool dnslabel(const std::string& name);

// Connects to `host` on `port` over TCP, trying each of its addresses
// within `wait` in all: the connected socket, blocking, which the caller
// then owns; -1 with the reason in `why` when none could be reached.
int tcpconnect(const std::string& host, unsigned port, std::chrono::milliseconds wait, std::string& why);

// One search for a controller, for one run. Nothing it does throws but
// std::bad_alloc: every network failure is an outcome, logged and kept for
// failure().
class locator {
public:
    // `budget`: for everything up to a connection; `pingwait`: the longest
    // wait for a controller's ping answer.
    locator(std::chrono::milliseconds budget, std::chrono::milliseconds pingwait);

    // Works out the domain(s) to look in; false (logged) when the machine
    // has neither a Kerberos default realm nor a DNS domain.
    bool start();

    // The next controller to try, as "host:port", doing the DNS look-ups
    // and the site ping it takes to know it; false when there are no more
    // or the budget is spent. REQUIRES: start.
    bool next(std::string& hostport);
    // Records why the controller last handed out could not be used.
    void failed(const std::string& hostport, const std::string& why);

    const deadline& time() const { return budget; }
    // A failure's text: the domain looked in, what was found and tried, and
    // how to name a server instead.
    std::string failure() const;

private:
    bool advance();
    bool lookup(const std::string& name, std::vector<srvtarget>& found);
    void queue(const std::vector<srvtarget>& targets);
    std::string pingsite(const std::vector<srvtarget>& targets);
    // Whether DNS named any controller of the domain at all.
    bool anyfound() const { return !handed.empty() || !waiting.empty(); }

    deadline budget;
    std::chrono::milliseconds pingwait;
    std::vector<std::pair<std::string, std::string>> domains; // name, where it came from
    std::size_t current = 0;                                   // into domains
    enum class stage { site, domainwide, done } step = stage::site;
    bool sitechecked = false; // the site was remembered (maybe as none)
    bool dnssilent = false;
    std::deque<std::string> waiting;
    std::set<std::string> handed;
    std::vector<std::string> outcomes; // "host:port (why)"
    std::vector<std::string> lookedup; // "name: answer"
};

} // namespace openldap
