// The process-wide levelled log: every diagnostic of a run is streamed into
// `mylog` after its level is set, and ended with `logend`. A message becomes
// one timestamped line on the current target when it passes the threshold.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

class mybuffer : public std::stringbuf {
public:
    ~mybuffer() override;

    // Switches logging to a freshly truncated file at `path`, or off for null.
    // False when the file can't be opened: then nothing is logged, and
    // `unopened`, `unopenedrefusal` and `unopenedcause` (the system's error
    // code, for a refusal of the system's) say so until the log is moved
    // again.
    bool openlog(const char* path);
    // Closes any log file and sends the lines to standard output.
    void logtostdout();

    // Whether the last openlog failed (and the log was not moved since).
    bool unopenable() const { return target == &logfile && !logfilebuffer; }
    // Whether a message of `level` would be written now.
    bool passes(std::uint32_t level) const { return target && (level == 0 || level <= verbosity); }

    std::uint32_t verbosity = 0; // threshold
    std::uint32_t msglevel = 0;  // level of the message being built
    std::ostream* target = nullptr;
    std::ostream logfile{nullptr};
    std::string unopened;
    platform::logrefusal unopenedrefusal = platform::logrefusal::system;
    std::uint32_t unopenedcause = 0;

protected:
    int sync() override;

private:
    void closelog();
    // The time stamp of a line written now.
    const std::string& timestamp();
    std::unique_ptr<std::streambuf> logfilebuffer;
    std::string stamp;
    std::time_t stampedat = 0;
};

class mystream : public std::ostream {
public:
    mystream();
    ~mystream() override;
    mystream(const mystream&) = delete;
    mystream& operator=(const mystream&) = delete;

    // Starts a message of the given level.
    mystream& at(std::uint32_t level)
    {
        buffer->msglevel = level;
        return *this;
    }

    mybuffer* buffer;
};

extern mystream mylog;

// `text` with its control characters written as \n, \r, \t or \xNN, as the
// log writes every message: for text from outside the program (a server's
// words) that goes to a terminal.
std::string escapecontrols(const std::string& text);

// Ends a message: a newline, then the flush that writes it.
inline std::ostream& logend(std::ostream& stream)
{
    return std::endl(stream);
}
