// The network mechanics of the locator's real environment: DNS SRV queries
// and one UDP request to several hosts (sockets and connects:
// common/ldapsocket.h). Nothing here throws but std::bad_alloc; every
// failure is an outcome with its text.
#pragma once

#include "platform/ldap/locate/ldaplocateenv.h"

#include <netinet/in.h>
#include <resolv.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace openldap {

// The resolver's state, set up from resolv.conf, closed with its owner.
class resolver {
public:
    resolver() { ready = res_ninit(&state) == 0; }
    resolver(const resolver&) = delete;
    resolver& operator=(const resolver&) = delete;
    ~resolver()
    {
        if (ready)
            res_nclose(&state);
    }
    bool ready = false; // false: no configuration could be read
    struct __res_state state {};
};

// The SRV records of `name`, asking each name server once with a one-second
// time-out, all within `wait` (see locateenv::querysrv).
locateenv::dnsresult querysrv(const std::string& name, std::chrono::milliseconds wait, std::vector<srvtarget>& found,
                              std::string& text);

// Sends `request` to UDP `port` of each address of each of `hosts`, and
// waits for an answer from an address asked that `accept` takes (see
// locateenv::ping): all within `wait`, the hosts' look-ups included.
bool udpask(const std::vector<std::string>& hosts, unsigned port, const std::string& request,
            std::chrono::milliseconds wait, const std::function<bool(std::string_view)>& accept, std::string& from,
            std::vector<std::string>& asked);

} // namespace openldap
