#include "log/mylog.h"

#include "platform/clock.h"
#include "platform/platform.h"

#include <ctime>
#include <iostream> // the standard streams are set up before mylog and torn down after it
#include <string>

mystream mylog;

mystream::mystream() : std::ostream(new mybuffer), buffer(dynamic_cast<mybuffer*>(rdbuf())) {}

mystream::~mystream()
{
    rdbuf(nullptr);
    delete buffer;
}

mybuffer::~mybuffer()
{
    // A message left unfinished at exit is still written, without its newline.
    sync();
    closelog();
}

namespace {

// One message is always one line: control characters inside it (a value
// holding a line break or a terminal escape) are written escaped, so that no
// text the directory holds can forge or hide a log line. The line feed that
// ends a message stays.
std::string escaped(const std::string& text)
{
    const bool ended = !text.empty() && text.back() == '\n';
    std::string result = escapecontrols(text.substr(0, text.size() - (ended ? 1 : 0)));
    if (ended)
        result += '\n';
    return result;
}

} // namespace

std::string escapecontrols(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (const char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c != 0x7f) {
            result += byte;
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (c == '\t') {
            result += "\\t";
        } else {
            const char digits[] = "0123456789abcdef";
            result += "\\x";
            result += digits[c >> 4];
            result += digits[c & 15];
        }
    }
    return result;
}

const std::string& mybuffer::timestamp()
{
    // Lines come many a second: the text is made once a second.
    const std::time_t now = platform::walltime();
    if (now != stampedat || stamp.empty()) {
        char text[256];
        std::tm local{};
        const std::size_t length =
            platform::localtime(now, local) ? std::strftime(text, sizeof text, "%x %X", &local) : 0;
        stamp.assign(text, length);
        stampedat = now;
    }
    return stamp;
}

int mybuffer::sync()
{
    // Logging never fails the run, so nothing may escape from here; and it
    // leaves the last error alone, so that a line logged between a failure
    // and its report can't change the cause reported.
    const std::uint32_t lasterror = platform::nativelasterror();
    try {
        const std::string text = str();
        if (!text.empty() && target && (msglevel == 0 || msglevel <= verbosity)) {
            *target << timestamp() << " (" << msglevel << ")" << " " << escaped(text);
            // Each line reaches the file when it is logged: a run that is
            // killed or crashes keeps everything it logged before.
            target->flush();
        }
        str(std::string());
    } catch (...) {
    }
    msglevel = 0;
    platform::setnativelasterror(lasterror);
    return 0;
}

void mybuffer::closelog()
{
    if (!logfilebuffer)
        return;
    if (logfilebuffer->pubsync() != 0)
        logfile.setstate(std::ios::failbit);
    logfile.rdbuf(nullptr);
    logfilebuffer.reset(); // closing writes out what the file still holds
}

bool mybuffer::openlog(const char* path)
{
    closelog();
    target = nullptr;
    unopened.clear();
    if (!path)
        return true;
    logfilebuffer = platform::openlogfile(path, unopenedrefusal);
    // Without a buffer the stream stays failed and every line is dropped.
    logfile.rdbuf(logfilebuffer.get());
    target = &logfile;
    if (!logfilebuffer) {
        unopened = path;
        unopenedcause = platform::nativelasterror();
    }
    return logfilebuffer != nullptr;
}

void mybuffer::logtostdout()
{
    closelog();
    unopened.clear();
    target = &std::cout;
}
