#include "platform/ldap/ldapfailure.h"

#include "log/mylog.h"

namespace openldap {

bool fail(int code, const std::string& text)
{
    // A cause may carry a server's words (its diagnostic message, a name it
    // gave): they reach the terminal with their control characters escaped.
    platform::setlasterror(static_cast<std::uint32_t>(code), escapecontrols(text).c_str());
    return false;
}

bool failcode(int code, const std::string& detail)
{
    return fail(code, detail.empty() ? std::string(ldap_err2string(code)) : ldap_err2string(code) + (": " + detail));
}

bool failserver(LDAP* ld, int code)
{
    char* message = nullptr;
    std::string detail;
    if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message)
        detail = message;
    ldap_memfree(message);
    return failcode(code, detail);
}

bool failagain(const platform::lasterror& kept)
{
    const int code = static_cast<int>(kept.code);
    return kept.hastext ? fail(code, kept.text) : failcode(code);
}

} // namespace openldap
