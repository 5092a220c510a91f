#include "platform/ldap/locate/ldapfailover.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"

#include <thread>
#include <vector>

namespace openldap {

status failover(candidates& find, const serverattempt& attempt, const std::function<std::chrono::milliseconds()>& pause,
                const char* kind)
{
    for (int round = 1;; ++round) {
        std::vector<target> again; // those that didn't answer in time
        for (target server; find.next(server);) {
            std::string why;
            bool timedout = false;
            if (attempt(server, why, timedout)) {
                mylog.at(2) << kind << " " << server.hostport() << ": connected (from " << server.source
                            << ")" << logend;
                return status();
            }
            mylog.at(2) << kind << " " << server.hostport() << ": " << why << " (from " << server.source
                        << ")" << logend;
            find.failed(server, why);
            if (timedout)
                again.push_back(server);
        }
        const std::chrono::milliseconds wait = pause();
        if (again.empty() || wait.count() == 0)
            break;
        mylog.at(2) << "no " << kind << " answered in time: trying " << again.size() << " again in " << wait.count()
                    << " ms (round " << round + 1 << ")" << logend;
        std::this_thread::sleep_for(wait);
        find.retry(again);
    }
    return failcode(LDAP_SERVER_DOWN, find.whynone());
}

} // namespace openldap
