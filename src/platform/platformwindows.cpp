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

namespace {

// The full path of `path`, the buffer sized from the call's answer; "" when
// there is none.
std::wstring fullpath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed ? GetFullPathNameW(path.c_str(), needed, &full[0], nullptr) : 0;
    if (length == 0 || length >= needed)
        return std::wstring();
    full.resize(length);
    return full;
}

// The full path of the directory an environment variable names, ending in
// a backslash, each buffer sized from the call's answer; "" when unset.
std::wstring directoryof(const wchar_t* variable)
{
    const DWORD needed = GetEnvironmentVariableW(variable, nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(variable, &value[0], needed);
    if (length == 0 || length >= needed)
        return std::wstring();
    value.resize(length);
    std::wstring full = fullpath(value);
    if (!full.empty() && full.back() != L'\\')
        full += L'\\';
    return full;
}

} // namespace

std::string tempdirectory()
{
    // What GetTempPath would say, in its order (TMP, TEMP, USERPROFILE, the
    // Windows directory), but of any length: it refuses one past MAX_PATH.
    std::wstring path = directoryof(L"TMP");
    if (path.empty())
        path = directoryof(L"TEMP");
    if (path.empty())
        path = directoryof(L"USERPROFILE");
    if (path.empty()) {
        wchar_t windows[MAX_PATH];
        const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            path = std::wstring(windows, length) + L"\\";
    }
    const int size = path.empty() ? 0
                                  : WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()),
                                                        nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return ".\\"; // no temporary directory at all: the current one
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
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

std::unique_ptr<std::streambuf> openlogfile(const char* path, logrefusal& why)
{
    why = logrefusal::system;
    // Through the wide API: a path past MAX_PATH (a deep %TEMP%) opens as
    // "\\?\" and the full path, which the ANSI calls don't take.
    const int size = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (size <= 0)
        return nullptr;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, &wide[0], size);
    wide.resize(static_cast<std::size_t>(size - 1));
    if (wide.size() >= MAX_PATH) {
        const std::wstring absolute = fullpath(wide);
        if (!absolute.empty())
            wide = L"\\\\?\\" + absolute;
    }
    // Shared for reading and writing with other processes; not inherited.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
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
