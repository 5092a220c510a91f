#include "frontend/myexception.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

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
    const platform::lasterror error = platform::getlasterror();
    static std::string result;
    result = std::to_string(error.code) + " = ";
    if (error.hastext)
        result += error.text.substr(0, error.text.find('\r'));
    else
        result += "unknown error";
    return result.c_str();
}
