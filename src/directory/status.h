// The outcome of an operation that can fail, returned as a value: success,
// or the failure's code, its text and whether the directory could not be
// reached. Nothing is parked in the thread's last error for a caller to
// read back later.
//
// Where a failure's text is written:
//   status::text()           "<code> = <text>", the form every message
//                            takes ("unable to bind to user object (%s)");
//   status::systemerror()    the system's own words for a code (errno,
//                            a Windows error or an HRESULT);
//   status::failure()        words of a backend's own; the LDAP backend
//                            writes all of its in platform/ldap/common/ldapfailure.h;
//   queryuser.cpp            the step phrases of the query's messages.
#pragma once

#include <cstdint>
#include <string>

class status {
public:
    // Success.
    status() = default;

    // A failure with its code and the words to show for it. `unreachable`:
    // the directory could not be reached (the connection lost, no answer in
    // time, a referral elsewhere) rather than answered.
    static status failure(std::uint32_t code, std::string text, bool unreachable = false);
    // A failure described by the system's text for `code`, or "unknown
    // error" when the system has none.
    static status systemerror(std::uint32_t code, bool unreachable = false);
    // The calling thread's last system error (errno, GetLastError), as a
    // failure; read it directly after the failing call. The last error
    // itself is left as it was.
    static status lasterror(bool unreachable = false);

    bool ok() const { return !failed; }
    std::uint32_t code() const { return number; }
    bool unreachable() const { return offline; }
    // "<code> = <text>": the code in unsigned decimal and the text up to its
    // first carriage return, or "unknown error". "" for success.
    std::string text() const;
    // The text alone, without the code ("" for success or none).
    const std::string& reason() const { return words; }

private:
    bool failed = false;
    std::uint32_t number = 0;
    bool hastext = false;
    std::string words;
    bool offline = false;
};
