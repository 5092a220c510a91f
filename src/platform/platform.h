// The narrow seam between the program and its operating system. Everything
// the front end and the log take from the platform goes through here; each
// platform has one source file that implements it (platformposix.cpp,
// platformwindows.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <streambuf>
#include <string>

namespace platform {

// Prepares the process; called first thing in a run. A write to a closed
// pipe or socket, or past the file size limit, then fails with an error
// instead of ending the process, and
// standard input, output and error are open, so that no file or socket of
// the program can land on them. A standard stream found closed is held by
// one on which every write fails, so that output sent to a closed standard
// output is reported, not lost.
void prepareprocess();

// The user's directory for temporary files, always ending in the platform's
// path separator ("\\" on Windows, "/" elsewhere). On POSIX: $TMPDIR when
// set, else $XDG_RUNTIME_DIR when set and the user's own, else
// /tmp/usermail-<uid>, made private; "" when there is none to be had (that
// name belongs to another user): the last error says why. On Windows:
// GetTempPath's, of any length, else the current directory.
std::string tempdirectory();

// The native last error of the calling thread (errno, GetLastError), and the
// system's own text for a code: false when the system has none. A failure
// that is not a failed system call travels as a status (directory/status.h)
// instead.
std::uint32_t nativelasterror();
void setnativelasterror(std::uint32_t code);
bool systemtext(std::uint32_t code, std::string& text);

// The characters of the narrow character set (the ANSI code page on Windows,
// the locale's LC_CTYPE elsewhere), for telling a word from its
// surroundings in narrow text.
//
// The length in bytes of the character that starts at `text`, `left` (at
// least 1) bytes being there: 1 for an ASCII byte and for a byte that starts
// no whole character.
std::size_t narrowcharlength(const char* text, std::size_t left);
// Whether the `length` bytes at `text` are one letter or digit. Bytes that
// are no whole character count as one: they may be part of a word.
bool narrowalnum(const char* text, std::size_t length);

// The local time of `when`, false when it has none. The time zone is read
// once a run (the C library's localtime would look at it again each call).
bool localtime(std::time_t when, std::tm& local);

// Why openlogfile gave no file: the system's error (the last error says
// which), or what stands where the log goes.
enum class logrefusal { system, anothers, symlink, notregular, linked };

// Opens a log file for writing: created if missing, truncated, binary, and
// shared with other processes. Null when the file can't be opened safely,
// `why` saying why: on POSIX a symbolic link, a file with several links,
// anything but a regular file, or a file of another user is never opened
// for writing, unless it stands in a directory of the user's own that no
// one else may write to (mode 700), where it is removed and the log made.
std::unique_ptr<std::streambuf> openlogfile(const char* path, logrefusal& why);

} // namespace platform
