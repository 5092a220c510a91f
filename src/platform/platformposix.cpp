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

namespace {

// What stands at `path` that openownfile refused, or system when nothing
// (the open itself failed).
logrefusal refusalat(const char* path)
{
    struct stat st;
    if (::lstat(path, &st) != 0)
        return logrefusal::system;
    if (S_ISLNK(st.st_mode))
        return logrefusal::symlink;
    if (!S_ISREG(st.st_mode))
        return logrefusal::notregular;
    return st.st_uid != ::geteuid() ? logrefusal::anothers : logrefusal::linked;
}

// Whether the directory that holds `path` is the user's own and private:
// nothing in it can be anyone else's doing.
bool inprivatedirectory(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    const std::string directory = slash ? std::string(path, slash == path ? 1 : slash - path) : ".";
    struct stat st;
    return ::lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

} // namespace

std::unique_ptr<std::streambuf> openlogfile(const char* path, logrefusal& why)
{
    // The temporary directory is shared by every user: never follow a link
    // planted there, and never truncate a file that isn't our own. The log
    // holds directory data, so only its owner may read it.
    struct stat st;
    int fd = openownfile(path, O_WRONLY | O_CREAT, 0600, true, st);
    why = fd < 0 ? refusalat(path) : logrefusal::system;
    // In a directory of the user's own, private, whatever stands in the
    // log's place was left there by the user (or root): it goes.
    if (fd < 0 && why != logrefusal::system && why != logrefusal::notregular && inprivatedirectory(path) &&
        ::unlink(path) == 0) {
        fd = openownfile(path, O_WRONLY | O_CREAT | O_EXCL, 0600, true, st);
        why = fd < 0 ? refusalat(path) : logrefusal::system;
    }
    if (fd < 0) {
        if (why != logrefusal::system)
            errno = 0;
        return nullptr;
    }
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
