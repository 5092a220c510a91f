// The servers a run may connect to, one after another: the domain's
// controllers as the locator finds them (ldaplocator.h), or the servers
// ldap.conf or LDAPURI name (ldapconfigured.h). The failover (ldapfailover.h)
// walks either the same way.
#pragma once

#include <string>
#include <vector>

namespace openldap {

// A server to try, and where it came from (the SRV name it was found under,
// or the configuration), which the log names beside each attempt.
struct target {
    std::string host;
    unsigned port = 389;
    std::string source;

    // "host:port", the host in lower case: how the log and a failure name it.
    std::string hostport() const;
};

// Records in `outcomes` why `tried` could not be used, as "host:port (why)":
// the latest cause of each server stands, in the order first tried.
void recordoutcome(std::vector<std::string>& outcomes, const target& tried, const std::string& why);

class candidates {
public:
    virtual ~candidates() = default;

    // The next server to try; false when there are no more or the time for
    // connecting is spent.
    virtual bool next(target& found) = 0;
    // Records why the server last handed out could not be used (the latest
    // cause of each stands).
    virtual void failed(const target& tried, const std::string& why) = 0;
    // Hands `targets` out again, in this order: servers that did not answer
    // in time, worth another attempt while time is left.
    virtual void retry(const std::vector<target>& targets) = 0;
    // Why no server could be used, naming each one tried and why.
    virtual std::string whynone() const = 0;
};

} // namespace openldap
