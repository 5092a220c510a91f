#include "directory/myexception.h"

#include "directory/status.h"

#include <cstdarg>
#include <cstdio>
#include <string>

myexception::myexception(const char* format, ...)
{
    char work[maxmessage + 1];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(work, sizeof work, format, args);
    va_end(args);
    if (length < 0)
        work[0] = '\0';
    message = work;
}

const char* myexception::what() const noexcept
{
    return message.c_str();
}

const char* lasterrortext()
{
    // Storage that never moves: a pointer handed out earlier stays valid and
    // shows the latest text. A text too long for it is cut.
    static char result[myexception::maxmessage + 1];
    const std::string text = status::lasterror().text();
    const std::size_t length = text.copy(result, sizeof result - 1);
    result[length] = '\0';
    return result;
}
