// The program's one error type, and the text of the last system error. The
// front end, the query and the directory backends raise it; a failure
// travels as a `status` (status.h) until the step that raises it.
#pragma once

#include <exception>
#include <string>

#if defined(__GNUC__)
#define MYPRINTF(formatindex, firstarg) __attribute__((format(printf, formatindex, firstarg)))
#else
#define MYPRINTF(formatindex, firstarg)
#endif

class myexception : public std::exception {
public:
    // The longest message kept; a longer one is cut here.
    static constexpr std::size_t maxmessage = 16383;

    explicit myexception(const char* format, ...) MYPRINTF(2, 3);
    const char* what() const noexcept override;

    std::string message;
};

// "<code> = <system text>" for the calling thread's last system error
// (status::lasterror().text()), for a failed system call that is raised at
// once. The text stays valid until the next call.
const char* lasterrortext();
