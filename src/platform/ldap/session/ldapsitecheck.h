// A laptop that moved: the site the run remembered for the client (and took
// its controllers from) is compared with the site the controller it is
// connected to names. The question is the locator's ping, asked over the
// bound connection in the run's first round, so it costs no round trip of
// its own; a different site is remembered, and its controllers come first
// from the next run on.
#pragma once

#include "platform/ldap/session/ldaprounds.h"

#include <string>

namespace openldap {

class sitecheck {
public:
    // The check for `domain`, whose remembered site is `remembered` ("" for
    // none). REQUIRES: `flights` outlives this.
    sitecheck(rounds& flights, std::string domain, std::string remembered);
    sitecheck(const sitecheck&) = delete;
    sitecheck& operator=(const sitecheck&) = delete;

    // Asks the controller which site the client is in.
    void send();
    // Takes the answer; a site other than the remembered one is remembered
    // in `cachedirectory` from now on. An answer that can't be had or read
    // changes nothing.
    void finish(const std::string& cachedirectory);

private:
    searchrequest ping() const;

    rounds& flights;
    std::string domain, remembered;
};

} // namespace openldap
