// Where an LDAP failure's text is written: every failing operation of the
// LDAP backend builds its status through one of these: the LDAP result code,
// and a text whose control characters are escaped (a server's words are part
// of many). The status says the directory could not be reached when the code
// says so (unreachable below).
#pragma once

#include "directory/status.h"

#include <ldap.h>

#include <string>

namespace openldap {

// A cause of the backend's own, in exactly these words ("no directory entry
// for the account alice under dc=example,dc=test").
status fail(int code, const std::string& text);
// libldap's text for `code`, followed by ": detail" when there is one (the
// locator's story of what it tried, the cause of a lost connection).
status failcode(int code, const std::string& detail = std::string());
// failcode with the diagnostic message the server sent on `ld`, if any.
status failserver(LDAP* ld, int code);

// Whether `code` says the directory could not be reached rather than
// answered: the server gone or silent, an answer that can't be read, a
// server that says it can't answer now, or one that sends the run elsewhere.
bool unreachable(int code);

} // namespace openldap
