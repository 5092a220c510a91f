// Where an LDAP failure's text is written: every failing operation of the
// LDAP backend records its cause through one of these, as the thread's last
// error (platform::setlasterror), so that the message raised for it names the
// real cause: the code, and a text whose control characters are escaped (a
// server's words are part of many). Each returns false, for
// `return failcode(...)` at the end of a failing operation.
#pragma once

#include "platform/platform.h"

#include <ldap.h>

#include <string>

namespace openldap {

// A cause of the backend's own, in exactly these words ("no directory entry
// for the account alice under dc=example,dc=test").
bool fail(int code, const std::string& text);
// libldap's text for `code`, followed by ": detail" when there is one (the
// locator's story of what it tried, the cause of a lost connection).
bool failcode(int code, const std::string& detail = std::string());
// failcode with the diagnostic message the server sent on `ld`, if any.
bool failserver(LDAP* ld, int code);
// A cause kept earlier (platform::getlasterror), reported now.
bool failagain(const platform::lasterror& kept);

} // namespace openldap
