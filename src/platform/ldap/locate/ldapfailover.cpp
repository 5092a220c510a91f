#include "platform/ldap/locate/ldapfailover.h"

#include "log/mylog.h"
#include "platform/ldap/common/ldapfailure.h"

#include <thread>
#include <vector>

namespace openldap {

status failover(locator& find, const controllerattempt& attempt, const std::function<std::chrono::milliseconds()>& pause)
{
    for (int round = 1;; ++round) {
        std::vector<target> again; // those that didn't answer in time
        for (target controller; find.next(controller);) {
            std::string why;
            bool timedout = false;
            if (attempt(controller, why, timedout)) {
                mylog.at(2) << "controller " << controller.hostport() << ": connected (from " << controller.source
                            << ")" << logend;
                return status();
            }
            mylog.at(2) << "controller " << controller.hostport() << ": " << why << " (from " << controller.source
                        << ")" << logend;
            find.failed(controller, why);
            if (timedout)
                again.push_back(controller);
        }
        const std::chrono::milliseconds wait = pause();
        if (again.empty() || wait.count() == 0)
            break;
        mylog.at(2) << "no controller answered in time: trying " << again.size() << " again in " << wait.count()
                    << " ms (round " << round + 1 << ")" << logend;
        std::this_thread::sleep_for(wait);
        find.retry(again);
    }
    return failcode(LDAP_SERVER_DOWN, find.whynone());
}

} // namespace openldap
