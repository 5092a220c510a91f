// The platform seam on Linux and other POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string tempdirectory()
{
    const char* dir = std::getenv("TMPDIR");
    std::string result = dir && *dir ? dir : "/tmp";
    if (result.back() != '/')
        result += '/';
    return result;
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

std::unique_ptr<std::streambuf> openlogfile(const char* path)
{
    // The temporary directory is shared by every user: never follow a link
    // planted there, and never truncate a file that isn't our own. The log
    // holds directory data, so only its owner may read it.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::ftruncate(fd, 0) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    // Back to blocking writes now that opening can no longer hang on a FIFO.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // The file buffer owns the descriptor and closes it.
    return std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::binary);
}

} // namespace platform
