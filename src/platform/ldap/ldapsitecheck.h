// A laptop that moved: the site the run remembered for the client (and took
// its controllers from) is compared with the site the controller it is
// connected to names. The question is the locator's ping, asked over the
// bound connection in the run's first round, so it costs no round trip of
// its own; a different site is remembered, and its controllers come first
// from the next run on.
#pragma once

#include "platform/ldap/ldapconnection.h"

#include <string>

namespace openldap {

class sitecheck {
public:
    // Asks the controller behind `server` which site the client is in, for
    // `domain`, whose remembered site is `remembered` ("" for none).
    // REQUIRES: `server` is bound and outlives this.
    sitecheck(connection& server, std::string domain, std::string remembered);
    sitecheck(const sitecheck&) = delete;
    sitecheck& operator=(const sitecheck&) = delete;

    // Takes the answer; a site other than the remembered one is remembered
    // in `cachedirectory` from now on. An answer that can't be had or read
    // changes nothing.
    void finish(const std::string& cachedirectory);

private:
    connection& server;
    std::string domain, remembered;
    connection::pending request;
};

} // namespace openldap
