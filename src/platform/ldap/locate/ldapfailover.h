// A run's failover over the controllers the locator hands out: each is
// tried in the locator's order, one attempt each; slow is not dead, so those
// that didn't answer in time are tried again after a pause while the run's
// deadline allows (in a logon storm a controller's listen queue overflows
// and its SYNs are dropped).
#pragma once

#include "directory/status.h"
#include "platform/ldap/locate/ldaplocator.h"

#include <chrono>
#include <functional>
#include <string>

namespace openldap {

// One attempt at `controller`: true when the run is now connected to it;
// otherwise `why` says why not, and `timedout` whether it went unanswered.
using controllerattempt = std::function<bool(const target& controller, std::string& why, bool& timedout)>;

// Tries the controllers of `find` with `attempt` until one connects, each
// attempt and failure logged at level 2. `pause` says how long to wait
// before the silent ones are tried again (0: no time is left for that).
// Fails with LDAP_SERVER_DOWN and the locator's story when none connected.
// REQUIRES: find.start() succeeded.
status failover(locator& find, const controllerattempt& attempt, const std::function<std::chrono::milliseconds()>& pause);

} // namespace openldap
