// The platform seam on Windows (kernel32 and the C runtime).
#include "platform/platform.h"

#include <windows.h>

#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace platform {

void prepareprocess()
{
    // Nothing to do: Windows has no SIGPIPE, and its standard handles are no
    // numbers that a file of the program could take over.
}

std::string tempdirectory()
{
    char buffer[MAX_PATH];
    DWORD length = GetTempPathA(sizeof buffer, buffer);
    if (length > 0 && length < sizeof buffer)
        return std::string(buffer, length);
    if (length >= sizeof buffer) {
        // A temporary directory deeper than MAX_PATH: ask again with room for it.
        std::string longer(length, '\0');
        DWORD again = GetTempPathA(length, &longer[0]);
        if (again > 0 && again < length) {
            longer.resize(again);
            return longer;
        }
    }
    // No temporary directory at all: the log goes to the current directory.
    return std::string();
}

std::uint32_t nativelasterror()
{
    return GetLastError();
}

void setnativelasterror(std::uint32_t code)
{
    SetLastError(code);
}

bool systemtext(std::uint32_t code, std::string& text)
{
    char* buffer = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&buffer), 0, nullptr);
    const bool found = length != 0 && buffer;
    if (found)
        text.assign(buffer, length);
    if (buffer)
        LocalFree(buffer);
    return found;
}

bool localtime(std::time_t when, std::tm& local)
{
    return localtime_s(&local, &when) == 0;
}

std::unique_ptr<std::streambuf> openlogfile(const char* path)
{
    // _SH_DENYNO: other processes may read and write the log while it is open.
    int fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                    _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    return std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::binary);
}

std::size_t narrowcharlength(const char* text, std::size_t left)
{
    const unsigned char lead = static_cast<unsigned char>(*text);
    if (lead < 0x80)
        return 1;
    std::size_t length = 1;
    if (GetACP() == CP_UTF8)
        length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    else if (IsDBCSLeadByteEx(CP_ACP, lead))
        length = 2;
    return length <= left ? length : 1;
}

bool narrowalnum(const char* text, std::size_t length)
{
    wchar_t wide[2];
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), wide, 2);
    WORD types[2] = {};
    if (units <= 0 || !GetStringTypeW(CT_CTYPE1, wide, units, types))
        return true;
    return (types[0] & (C1_ALPHA | C1_DIGIT)) != 0;
}

} // namespace platform
