// The requests a run sends to its directory server, behind one seam: send
// a request without waiting, finish it later. The session (session/) knows
// only this; the connection (ldapconnection.h) implements it over libldap,
// and the unit tests script it (tests/unit/sessiontest.cpp) to pin what
// each round sends.
//
// Requests sent one after another without an answer taken between them
// travel together: their answers take one round trip.
//
// Nothing here throws but std::bad_alloc.
#pragma once

#include "directory/status.h"
#include "platform/ldap/schema/ldapentry.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace openldap {

// A search as it goes out: by default a base read of `base`.
struct searchrequest {
    enum class scope { base, onelevel, subtree };

    std::string base;
    scope depth = scope::base;
    std::string filter = "(objectClass=*)";
    std::vector<std::string> attributes;
    int sizelimit = 0; // what the server is asked to stop at; 0 for no limit

    bool operator==(const searchrequest& other) const;
};

class wire {
public:
    using clock = std::chrono::steady_clock;

    // A request sent and not yet answered, abandoned when it is destroyed (or
    // assigned over) unanswered. Move-only; must not outlive its wire.
    class pending {
    public:
        pending() = default;
        pending(pending&& other) noexcept { *this = std::move(other); }
        pending& operator=(pending&& other) noexcept;
        ~pending() { abandon(); }
        // Whether it went out and its answer is still to come.
        bool outstanding() const { return owner && id >= 0 && why.ok(); }
        // Tells the server that no answer is wanted. Never throws.
        void abandon();
        // When it went out.
        clock::time_point senttime() const { return sent; }

    private:
        friend class wire;
        wire* owner = nullptr;
        int id = -1; // -1 once answered
        status why;  // a failure to send, or the outcome
        clock::time_point sent = clock::now();
    };

    virtual ~wire() = default;

    // Sends `request`, or "Who am I?", and returns at once. A request that
    // can't go out (the connection lost) comes back all the same: finishing
    // it fails with the cause. REQUIRES: bound.
    virtual pending send(const searchrequest& request) = 0;
    virtual pending sendwhoami() = 0;

    // Takes the answer to a search: each entry goes to `take` as it arrives;
    // when that returns false the rest is abandoned and the search counts as
    // complete. Waits until the run's deadline, or until the server has been
    // silent for the configured time-out. Returns the result: the server's
    // code, or an unreachable status when the connection was lost or the
    // server silent (ldapfailure.h). REQUIRES: `request` came from send().
    virtual status finish(pending& request, const std::function<bool(entry&&)>& take) = 0;
    // The same, each entry read in place (a subschema runs to megabytes).
    virtual status finishinplace(pending& request, const std::function<bool(inplaceentry&&)>& take) = 0;
    // The "Who am I?" answer; "" when the server gave none (no failure
    // here: what is sent next fails if the connection is gone).
    // REQUIRES: `request` came from sendwhoami().
    virtual std::string finishwhoami(pending& request) = 0;

    // The SASL user name of the bind ("" when there is none), the configured
    // search base ("" for none) and the URI of the server connected to
    // (scheme://host:port). REQUIRES: bound.
    virtual std::string saslname() const = 0;
    virtual std::string configuredbase() const = 0;
    virtual std::string serveruri() const = 0;

protected:
    // Tells the server that no answer to `id` is wanted. Never throws.
    virtual void abandon(int id) = 0;

    // What an implementation hands out and reads back.
    pending made(int id, status why);
    static int& idof(pending& request) { return request.id; }
    static status& whyof(pending& request) { return request.why; }
};

} // namespace openldap
