// SASL as a run needs it: started with none of its modules loaded, then
// only the module of the mechanism in use.
#pragma once

#include "directory/status.h"

#include <string>

namespace openldap {

// Starts SASL with none of its modules loaded: libsasl2 would load every
// module it finds (and libcrypto, libdb, GSSAPI with them), which costs
// more than the rest of a run, while a run needs one. REQUIRES: before
// any other call into libldap, which starts SASL itself and keeps the
// first start's settings. Never throws but std::bad_alloc.
void startsasl();
// Loads the module that `mechanism` needs: none for EXTERNAL, every one
// for a mechanism not known here. Fails when it is not installed.
// REQUIRES: startsasl.
status loadsasl(const std::string& mechanism);

} // namespace openldap
