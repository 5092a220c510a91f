#include "platform/ldap/common/ldapwaiting.h"

#include "log/mylog.h"

#include <ldap.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

namespace openldap {

namespace {

std::chrono::milliseconds milliseconds(const timeval& span)
{
    return std::chrono::milliseconds(span.tv_sec * 1000 + span.tv_usec / 1000);
}

std::string seconds(std::chrono::milliseconds span)
{
    std::string text = std::to_string(span.count() / 1000);
    if (span.count() % 1000)
        text += "." + std::to_string(span.count() % 1000 / 100);
    return text;
}

// The time-out that ldap.conf, ~/.ldaprc or the environment configured for
// `which`, as ldapsearch takes it; 0 when none did.
std::chrono::milliseconds configured(int which)
{
    timeval* value = nullptr;
    std::chrono::milliseconds result{0};
    if (ldap_get_option(nullptr, which, &value) == LDAP_OPT_SUCCESS && value &&
        (value->tv_sec > 0 || value->tv_usec > 0))
        result = milliseconds(*value);
    ldap_memfree(value);
    return result;
}

// USERMAIL_DEADLINE in seconds, when it is a number above 0.
std::chrono::milliseconds configureddeadline()
{
    const char* text = std::getenv("USERMAIL_DEADLINE");
    char* rest = nullptr;
    const double seconds = text && *text ? std::strtod(text, &rest) : 0;
    return rest && !*rest && seconds > 0 && seconds < 86400 ? std::chrono::milliseconds(static_cast<long>(seconds * 1000))
                                                            : std::chrono::milliseconds(0);
}

} // namespace

timeval totimeval(std::chrono::milliseconds span)
{
    return {static_cast<time_t>(span.count() / 1000), static_cast<suseconds_t>(span.count() % 1000 * 1000)};
}

constexpr std::chrono::milliseconds waiting::defaultdeadline, waiting::defaultattempt;

void waiting::settle()
{
    const std::chrono::milliseconds run = configureddeadline();
    end = clock::now() + (run.count() ? run : defaultdeadline);
    const std::chrono::milliseconds network = configured(LDAP_OPT_NETWORK_TIMEOUT);
    connect = network.count() ? network : defaultattempt;
    quiet = configured(LDAP_OPT_TIMEOUT);
    // libldap's own connects (a configured URI) take one attempt's time.
    if (!network.count()) {
        const timeval value = totimeval(connect);
        ldap_set_option(nullptr, LDAP_OPT_NETWORK_TIMEOUT, &value);
    }
    mylog.at(2) << "deadline " << seconds(run.count() ? run : defaultdeadline) << " s"
                << (run.count() ? " (configured)" : " (default)") << logend;
    mylog.at(2) << "connect time-out " << seconds(connect) << " s" << (network.count() ? " (configured)" : " (default)")
                << logend;
    if (quiet.count())
        mylog.at(2) << "request time-out " << seconds(quiet) << " s (configured)" << logend;
}

std::chrono::milliseconds waiting::left() const
{
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
    return std::max(rest, std::chrono::milliseconds(0));
}

std::chrono::milliseconds waiting::attempt() const
{
    return std::min(connect, left());
}

std::chrono::milliseconds waiting::silence() const
{
    return quiet.count() ? std::min(quiet, left()) : left();
}

std::chrono::milliseconds waiting::pause() const
{
    static std::minstd_rand random(std::random_device{}());
    const std::chrono::milliseconds pause(200 + random() % 800);
    // Near the deadline a shorter pause, while an attempt still fits after
    // it: whether the servers are tried again is no matter of chance.
    const std::chrono::milliseconds room = left() - std::chrono::milliseconds(100);
    return room < std::chrono::milliseconds(200) ? std::chrono::milliseconds(0) : std::min(pause, room);
}

} // namespace openldap
