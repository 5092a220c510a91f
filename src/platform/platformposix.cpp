// The platform seam on Linux and other POSIX systems.
#include "platform/platform.h"
#include "platform/posixfile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

void prepareprocess()
{
    const int saved = errno;
    std::signal(SIGPIPE, SIG_IGN);
    // Past a file size limit (ulimit -f) a write fails like any other.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Opened read-only, the lowest free descriptor (this one) refuses
        // every write with EBADF, as the closed stream did.
        const int held = ::open("/dev/null", O_RDONLY | O_NOCTTY);
        if (held >= 0 && held != fd)
            ::close(held);
    }
    errno = saved;
}

namespace {

// `dir` ending in "/".
std::string asdirectory(const char* dir)
{
    return std::string(dir) + (dir[std::strlen(dir) - 1] == '/' ? "" : "/");
}

} // namespace

std::string tempdirectory()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir && *dir)
        return asdirectory(dir);
    // The session's own runtime directory, where no other user can plant or
    // hold the log; only when it really is this user's.
    dir = std::getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (dir && *dir && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
        return asdirectory(dir);
    // Else a directory of the user's own in /tmp: any name there may have
    // been taken by another user first, and a file of theirs takes no log.
    const std::string own = "/tmp/usermail-" + std::to_string(::geteuid());
    ::mkdir(own.c_str(), 0700);
    const int fd = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool mine = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
                      ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    const int saved = errno;
    if (fd >= 0)
        ::close(fd);
    errno = mine ? 0 : fd >= 0 ? EACCES : saved;
    return mine ? own + "/" : std::string();
}

std::uint32_t nativelasterror()
{
    return static_cast<std::uint32_t>(errno);
}

void setnativelasterror(std::uint32_t code)
{
    errno = static_cast<int>(code);
}

bool systemtext(std::uint32_t code, std::string& text)
{
#if defined(__GLIBC__)
    // strerror() invents "Unknown error N" for codes it doesn't know; this
    // one tells them apart.
    const char* desc = strerrordesc_np(static_cast<int>(code));
#else
    const char* desc = std::strerror(static_cast<int>(code));
    if (desc && std::strncmp(desc, "Unknown error", 13) == 0)
        desc = nullptr;
#endif
    if (!desc)
        return false;
    text = desc;
    return true;
}

bool localtime(std::time_t when, std::tm& local)
{
    // localtime_r reads the zone only once tzset has, and never again.
    static const bool zone = (::tzset(), true);
    return zone && ::localtime_r(&when, &local) != nullptr;
}

int openownfile(const char* path, int flags, mode_t mode, bool onelink, struct stat& st)
{
    const int fd = ::open(path, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (onelink && st.st_nlink != 1)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    // Blocking again now that opening can no longer hang on a FIFO.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<std::streambuf> openlogfile(const char* path)
{
    // The temporary directory is shared by every user: never follow a link
    // planted there, and never truncate a file that isn't our own. The log
    // holds directory data, so only its owner may read it.
    struct stat st;
    const int fd = openownfile(path, O_WRONLY | O_CREAT, 0600, true, st);
    if (fd < 0)
        return nullptr;
    if (::ftruncate(fd, 0) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    // The file buffer owns the descriptor and closes it.
    return std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::binary);
}

std::size_t narrowcharlength(const char* text, std::size_t left)
{
    if (static_cast<unsigned char>(*text) < 0x80)
        return 1;
    std::mbstate_t state{};
    wchar_t wide = 0;
    const std::size_t length = std::mbrtowc(&wide, text, left, &state);
    return length == 0 || length > left ? 1 : length; // (size_t)-1 and -2 say there is none
}

bool narrowalnum(const char* text, std::size_t length)
{
    std::mbstate_t state{};
    wchar_t wide = 0;
    return std::mbrtowc(&wide, text, length, &state) != length || std::iswalnum(static_cast<wint_t>(wide));
}

} // namespace platform
