// How long a run may wait, and for what: the one answer to it, which the
// locator's failover, every connect and every request share.
//
//   The run     Everything it waits for (DNS, connecting, every answer)
//               ends by one deadline: USERMAIL_DEADLINE seconds after the
//               session opens, 60 by default. A logon script runs in the
//               background, and a domain controller in a logon storm
//               answers late, but answers.
//   A connect   One attempt waits at most NETWORK_TIMEOUT (ldap.conf,
//               LDAPNETWORK_TIMEOUT; 5 s by default). One that timed out is
//               followed by the next controller, or by the same ones again
//               after a pause of up to a second; one refused is passed over.
//   A request   Fails after TIMEOUT (ldap.conf, LDAPTIMEOUT) of silence: no
//               byte from the server in that time. Without one configured,
//               the deadline alone bounds it.
//
// Nothing here throws but std::bad_alloc.
#pragma once

#include <chrono>

#include <sys/time.h>

namespace openldap {

// A span as libldap takes it.
timeval totimeval(std::chrono::milliseconds span);

class waiting {
public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds defaultdeadline{60000}, defaultattempt{5000};

    // Reads the configuration and logs it; the deadline counts from now.
    // REQUIRES: libldap started (its options read).
    void settle();

    // When the run's waiting ends.
    clock::time_point deadline() const { return end; }
    // What is left of it; never negative.
    std::chrono::milliseconds left() const;
    // One connect attempt, within what is left.
    std::chrono::milliseconds attempt() const;
    // How long a request may go without a byte from the server; what is left
    // when no limit is configured.
    std::chrono::milliseconds silence() const;
    bool silencelimited() const { return quiet.count() > 0; }
    // How long to pause before the same servers are tried again: at random
    // from 0.2 to 1 s, so that the clients of a storm don't come back as one,
    // but never so long that no time for another attempt is left; 0 when
    // too little is left for both.
    std::chrono::milliseconds pause() const;

private:
    clock::time_point end = clock::now() + defaultdeadline;
    std::chrono::milliseconds connect = defaultattempt;
    std::chrono::milliseconds quiet{0}; // 0: no limit of its own
};

} // namespace openldap
