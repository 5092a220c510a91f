// The failure cause, recorded once for every platform; each platform file
// supplies only the native last error and the system's texts.
#include "platform/platform.h"

namespace platform {

namespace {
// A cause recorded with a text of its own. It describes the last error only
// while the native last error still holds its code.
struct recordedcause {
    bool recorded = false;
    std::uint32_t code = 0;
    std::string text;
};
thread_local recordedcause recorded;
} // namespace

lasterror getlasterror()
{
    const std::uint32_t code = nativelasterror();
    lasterror result;
    result.code = code;
    if (recorded.recorded && code == recorded.code) {
        result.hastext = true;
        result.text = recorded.text;
    } else {
        result.hastext = systemtext(code, result.text);
    }
    // Asking the system for a text may itself change the last error.
    setnativelasterror(code);
    return result;
}

void setlasterror(std::uint32_t code, const char* text)
{
    recorded.recorded = text != nullptr;
    recorded.code = code;
    recorded.text = text ? text : "";
    setnativelasterror(code);
}

} // namespace platform
