// Files private to the user, on POSIX: the one place that decides whether a
// file may be trusted or written, for the log (platformposix.cpp) and the
// LDAP backend's records alike. Implemented in platformposix.cpp.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

// Opens `path` with `flags` (and `mode` when creating), never through a
// symbolic link, never as the controlling terminal, close-on-exec and
// without blocking on a FIFO; keeps it only when it is a regular file of
// the calling user's own and, with `onelink`, has no second hard link (one
// would make a write reach some other file). The descriptor, blocking again,
// with its status in `st`; -1 otherwise, errno telling why.
int openownfile(const char* path, int flags, mode_t mode, bool onelink, struct stat& st);

} // namespace platform
