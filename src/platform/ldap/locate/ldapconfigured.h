// The servers ldap.conf, ~/.ldaprc or LDAPURI name, walked as the locator's
// controllers are (ldapfailover.h): each in the list's order, one attempt's
// time each, its name looked up within that time, all of it within the
// run's deadline. libldap would give every server and each of its
// addresses a whole attempt, and its look-ups no bound at all.
#pragma once

#include "platform/ldap/locate/ldapcandidates.h"

#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace openldap {

class configuredlist : public candidates {
public:
    // The servers of the URI list `uris` (space or comma separated), tried
    // until `deadline`.
    configuredlist(const std::string& uris, std::chrono::steady_clock::time_point deadline);

    // Whether every URI is ldap:// with a host, which this walk connects to;
    // otherwise (ldapi://, ldaps://, no host) libldap's own connect serves.
    bool walkable() const { return walk; }

    bool next(target& found) override;
    void failed(const target& tried, const std::string& why) override;
    void retry(const std::vector<target>& targets) override;
    std::string whynone() const override;

private:
    bool walk = false;
    std::chrono::steady_clock::time_point deadline;
    std::deque<target> waiting;
    std::vector<std::string> outcomes; // "host:port (why)", the latest of each
};

} // namespace openldap
