#include "directory/status.h"

#include "platform/platform.h"

status status::failure(std::uint32_t code, std::string text, bool unreachable)
{
    status result;
    result.failed = true;
    result.number = code;
    result.hastext = true;
    result.words = std::move(text);
    result.offline = unreachable;
    return result;
}

status status::systemerror(std::uint32_t code, bool unreachable)
{
    status result;
    result.failed = true;
    result.number = code;
    result.hastext = platform::systemtext(code, result.words);
    result.offline = unreachable;
    return result;
}

status status::lasterror(bool unreachable)
{
    const std::uint32_t code = platform::nativelasterror();
    status result = systemerror(code, unreachable);
    // Asking the system for a text may itself change the last error.
    platform::setnativelasterror(code);
    return result;
}

std::string status::text() const
{
    if (!failed)
        return std::string();
    return std::to_string(number) + " = " + (hastext ? words.substr(0, words.find('\r')) : "unknown error");
}
