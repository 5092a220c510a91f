#include "platform/ldap/common/ldapfailure.h"

#include "log/mylog.h"

namespace openldap {

bool unreachable(int code)
{
    switch (code) {
    case LDAP_SERVER_DOWN:
    case LDAP_TIMEOUT:
    case LDAP_CONNECT_ERROR:
    case LDAP_DECODING_ERROR:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
    case LDAP_REFERRAL:
        return true;
    default:
        return false;
    }
}

status fail(int code, const std::string& text)
{
    // A cause may carry a server's words (its diagnostic message, a name it
    // gave): they reach the terminal with their control characters escaped.
    return status::failure(static_cast<std::uint32_t>(code), escapecontrols(text), unreachable(code));
}

status failcode(int code, const std::string& detail)
{
    return fail(code, detail.empty() ? std::string(ldap_err2string(code)) : ldap_err2string(code) + (": " + detail));
}

status failserver(LDAP* ld, int code)
{
    char* message = nullptr;
    std::string detail;
    if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message)
        detail = message;
    ldap_memfree(message);
    return failcode(code, detail);
}

} // namespace openldap
