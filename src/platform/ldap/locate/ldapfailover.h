// A run's failover over the servers it may connect to (ldapcandidates.h):
// the locator's controllers or the configured list, each tried in order, one
// attempt each; slow is not dead, so those that didn't answer in time are
// tried again after a pause while the run's deadline allows (in a logon
// storm a server's listen queue overflows and its SYNs are dropped).
#pragma once

#include "directory/status.h"
#include "platform/ldap/locate/ldapcandidates.h"

#include <chrono>
#include <functional>
#include <string>

namespace openldap {

// One attempt at `server`: true when the run is now connected to it;
// otherwise `why` says why not, and `timedout` whether it went unanswered.
using serverattempt = std::function<bool(const target& server, std::string& why, bool& timedout)>;

// Tries the servers of `find` with `attempt` until one connects, each
// attempt and failure logged at level 2 (`kind` names them: "controller",
// "server"). `pause` says how long to wait before the silent ones are tried
// again (0: no time is left for that). Fails with LDAP_SERVER_DOWN and
// find.whynone() when none connected.
status failover(candidates& find, const serverattempt& attempt, const std::function<std::chrono::milliseconds()>& pause,
                const char* kind = "controller");

} // namespace openldap
