#include "platform/ldap/common/ldaprecord.h"

#include "log/mylog.h"
#include "platform/clock.h"
#include "platform/posixfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace openldap {

namespace {

// The largest record read: far above any schema layout seen.
const off_t largest = 64 << 20;
// How long a record may go unused before a run removes it.
const std::time_t unused = 30 * 86400;

// Marks an open record as used now, by the clock the trust windows read:
// its access time, and its modification time unless `keepmodified`.
void stamp(int fd, bool keepmodified = false)
{
    const timespec now[2] = {{platform::walltime(), 0},
                             {platform::walltime(), keepmodified ? UTIME_OMIT : 0}};
    ::futimens(fd, now);
}

// When a record was last used: read (its access time, as stamp sets it
// where the file system doesn't) or written.
std::time_t lastused(const struct stat& st)
{
    return std::max(st.st_atime, st.st_mtime);
}

std::string readwhole(const std::string& path, std::time_t* modified)
{
    struct stat st;
    const int fd = platform::openownfile(path.c_str(), O_RDONLY, 0, false, st);
    if (fd < 0)
        return std::string();
    std::string text;
    if (st.st_size < largest) {
        // A record in use stays fresh for tidy(), whatever atime does; one
        // whose modification time says more keeps it.
        if (modified)
            *modified = st.st_mtime;
        if (lastused(st) < platform::walltime() - 86400)
            stamp(fd, modified != nullptr);
        // One read at the file's size; a file that grows meanwhile is cut
        // there, and its checksum then fails.
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t have = 0;
        for (ssize_t got; have < text.size() && (got = ::read(fd, &text[have], text.size() - have)) > 0;)
            have += static_cast<std::size_t>(got);
        text.resize(have);
    }
    ::close(fd);
    return text;
}

// What a file of the cache directory is: a record ("<kind>-<16 hex
// digits>"), a record's temporary file (the same, ".", six characters of
// mkstemp's), or neither.
enum class filekind { record, temporary, other };
filekind kindof(const std::string& name)
{
    for (const char* kind : {"schema-", "last-", "site-"}) {
        const std::size_t length = std::strlen(kind), end = length + 16;
        if (name.compare(0, length, kind) != 0 || name.size() < end ||
            !std::all_of(name.begin() + length, name.begin() + end, [](char c) { return std::isxdigit(c); }))
            continue;
        if (name.size() == end)
            return filekind::record;
        if (name.size() == end + 7 && name[end] == '.')
            return filekind::temporary;
    }
    return filekind::other;
}

// Keeps the cache small: removes the records that no run has used for 30
// days (every server and identity leaves some) and the temporary files that
// killed runs left, once they are older than any write takes.
void tidy(const std::string& directory)
{
    DIR* listing = ::opendir(directory.c_str());
    if (!listing)
        return;
    const std::time_t now = platform::walltime();
    while (const dirent* found = ::readdir(listing)) {
        const filekind kind = kindof(found->d_name);
        struct stat st;
        if (kind == filekind::other ||
            ::fstatat(::dirfd(listing), found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (kind == filekind::record ? lastused(st) < now - unused : st.st_mtime < now - 60)
            ::unlinkat(::dirfd(listing), found->d_name, 0);
    }
    ::closedir(listing);
}

} // namespace

std::string findcachedirectory()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        const passwd* user = home && *home ? nullptr : getpwuid(geteuid());
        base = std::string(home && *home ? home : user ? user->pw_dir : "") + "/.cache";
        if (base == "/.cache")
            return std::string();
    }
    ::mkdir(base.c_str(), 0700);
    const std::string dir = base + "/usermail";
    ::mkdir(dir.c_str(), 0700);
    // Never a link, never someone else's directory; the user's own is made
    // private (one made by "mkdir -p" is open to all for reading).
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    const bool own = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    const bool isprivate = own && ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    if (own && !isprivate)
        mylog.at(2) << "cache not used: " << dir << " can't be made private: " << std::strerror(errno) << logend;
    if (fd >= 0)
        ::close(fd);
    if (isprivate)
        tidy(dir);
    return isprivate ? dir : std::string();
}

std::string recordfile::read(std::time_t* modified) const
{
    if (path.empty())
        return std::string();
    std::string file = readwhole(path, modified);
    // The last line is "sum <hash of the rest>", checked in place.
    const std::size_t last = file.size() > 1 ? file.rfind('\n', file.size() - 2) : std::string::npos;
    if (last == std::string::npos || file.back() != '\n')
        return std::string();
    const std::string_view body(file.data(), last + 1);
    if (file.compare(last + 1, std::string::npos, "sum " + hexhash(body) + "\n") != 0)
        return std::string();
    file.resize(last + 1);
    return file;
}

bool recordfile::write(const std::string& body) const
{
    if (path.empty())
        return false;
    const std::string sealed = body + "sum " + hexhash(body) + "\n";
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        mylog.at(2) << "cache not written: " << std::strerror(errno) << logend;
        return false;
    }
    // The cause is the errno of the call that failed; a short write that
    // sets none is a full disk.
    errno = 0;
    int error = ::fchmod(fd, 0600) != 0 ||
                        ::write(fd, sealed.data(), sealed.size()) != static_cast<ssize_t>(sealed.size())
                    ? (errno ? errno : ENOSPC)
                    : 0;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        mylog.at(2) << "cache not written: " << std::strerror(error) << logend;
    }
    return !error;
}

std::time_t recordfile::modified() const
{
    struct stat st;
    const int fd = path.empty() ? -1 : platform::openownfile(path.c_str(), O_RDONLY, 0, false, st);
    if (fd < 0)
        return -1;
    ::close(fd);
    return st.st_mtime;
}

void recordfile::touch() const
{
    if (path.empty())
        return;
    struct stat st;
    const int fd = platform::openownfile(path.c_str(), O_RDONLY, 0, false, st);
    if (fd >= 0) {
        stamp(fd);
        ::close(fd);
    }
}

void recordfile::backdate(std::time_t modified) const
{
    if (path.empty())
        return;
    struct stat st;
    const int fd = platform::openownfile(path.c_str(), O_RDONLY, 0, false, st);
    if (fd >= 0) {
        const timespec times[2] = {{platform::walltime(), 0}, {modified, 0}};
        ::futimens(fd, times);
        ::close(fd);
    }
}

bool recordlines::next(std::string_view& line)
{
    if (at >= text.size())
        return false;
    const std::size_t end = std::min(text.find('\n', at), text.size());
    line = text.substr(at, end - at);
    at = end + 1;
    return true;
}

std::string field(std::string_view line, std::string_view name)
{
    const bool named = line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ' ';
    return named ? std::string(line.substr(name.size() + 1)) : std::string();
}

bool oneline(const std::vector<std::string>& values)
{
    return std::none_of(values.begin(), values.end(),
                        [](const std::string& value) { return value.find_first_of("\r\n") != std::string::npos; });
}

} // namespace openldap
