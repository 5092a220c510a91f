#include "platform/ldap/ldapcache.h"

#include "log/mylog.h"
#include "platform/ldap/ldaptext.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace openldap {

namespace {

const char* const header = "usermail schema cache 1";

// How long a client's site is remembered: a machine seldom moves, but a
// laptop does; "no site" is asked again sooner.
const long long sitelifetime = 3600, nositelifetime = 600;

// Samba keeps the aggregate's modifyTimestamp at the epoch for ever, even
// after a schema change: that value tells nothing.
bool meaningful(const std::string& stamp)
{
    return !stamp.empty() && stamp.compare(0, 14, "19700101000000") != 0;
}

// The class set a layout is filed under: its objectClass values, in lower
// case, sorted, space-separated.
std::string classkey(std::vector<std::string> objectclasses)
{
    for (std::string& name : objectclasses)
        name = lower(name);
    std::sort(objectclasses.begin(), objectclasses.end());
    objectclasses.erase(std::unique(objectclasses.begin(), objectclasses.end()), objectclasses.end());
    std::string key;
    for (const std::string& name : objectclasses)
        key += (key.empty() ? "" : " ") + name;
    return key;
}

// Names and OIDs as a schema may hold them; anything else (a space, a
// control character) can't be written to a line-based file faithfully.
bool plain(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == ';' || c == '_';
    });
}

// The user's own cache directory for usermail, created private; "" when
// there is none to be had safely. Found once a run.
std::string finddirectory();
const std::string& cachedirectory()
{
    static const std::string dir = finddirectory();
    return dir;
}

std::string finddirectory()
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
    struct stat st;
    // Never a link, never a directory that someone else could write in.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
        return std::string();
    return dir;
}

// FNV-1a, in hex: stable across builds and runs.
std::string fnv(const std::string& text)
{
    std::uint64_t hash = 1469598103934665603ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

// The file's name for a server and subschema entry.
std::string filename(const schemakey& key)
{
    return "schema-" + fnv(key.server + "\n" + key.subentry);
}

// The file's text without its last line, "sum <hash of the rest>": "" when
// that line is missing or doesn't match, so that a file changed or cut
// anywhere is never taken for a cache.
std::string checked(const std::string& file)
{
    const std::size_t last = file.size() > 1 ? file.rfind('\n', file.size() - 2) : std::string::npos;
    if (last == std::string::npos || file.back() != '\n')
        return std::string();
    const std::string body = file.substr(0, last + 1);
    return file.compare(last + 1, std::string::npos, "sum " + fnv(body) + "\n") == 0 ? body : std::string();
}

std::string readfile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::string();
    std::string text;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_size < (64 << 20)) {
        char buffer[65536];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

// The value of a "NAME value" line; "" when the line is another field's.
std::string field(std::string_view line, std::string_view name)
{
    const bool named = line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ' ';
    return named ? std::string(line.substr(name.size() + 1)) : std::string();
}

// A file's lines, read in place.
class lines {
public:
    explicit lines(const std::string& text) : text(text) {}
    bool next(std::string_view& line)
    {
        if (at >= text.size())
            return false;
        const std::size_t end = std::min(text.find('\n', at), text.size());
        line = std::string_view(text).substr(at, end - at);
        at = end + 1;
        return true;
    }

private:
    const std::string& text;
    std::size_t at = 0;
};

// The words of a line, split at single spaces.
std::vector<std::string> words(std::string_view line)
{
    std::vector<std::string> result;
    while (!line.empty()) {
        const std::size_t space = std::min(line.find(' '), line.size());
        result.emplace_back(line.substr(0, space));
        line.remove_prefix(std::min(space + 1, line.size()));
    }
    return result;
}

// One layout's lines; false when they are not a whole, well-formed layout.
bool readlayout(lines& file, classlayout& layout)
{
    for (std::string_view text; file.next(text);) {
        const std::size_t space = std::min(text.find(' '), text.size());
        const std::string_view field = text.substr(0, space);
        const std::string_view rest = text.substr(std::min(space + 1, text.size()));
        if (field == "name") { // the commonest line: "name ALIAS FIRSTNAME"
            const std::size_t split = rest.find(' ');
            if (split == std::string_view::npos)
                return false;
            const std::string alias(rest.substr(0, split)), first(rest.substr(split + 1));
            if (!plain(alias) || !plain(first))
                return false;
            layout.names.emplace(alias, first);
            continue;
        }
        std::vector<std::string> values = words(rest);
        if (!std::all_of(values.begin(), values.end(), plain))
            return false;
        if (field == "structural" && values.size() == 1)
            layout.structural = values[0];
        else if (field == "must")
            layout.mandatory = std::move(values);
        else if (field == "may")
            layout.optional = std::move(values);
        else if (field == "strings")
            layout.strings.insert(values.begin(), values.end());
        else if (field == "end" && values.empty())
            return !layout.structural.empty();
        else
            return false;
    }
    return false;
}

std::string writelayout(const std::string& classes, const classlayout& layout)
{
    auto list = [](const std::string& field, const auto& names) {
        std::string line = field;
        for (const std::string& name : names)
            line += " " + name;
        return line + "\n";
    };
    std::string text = "class " + classes + "\nstructural " + layout.structural + "\n" +
                       list("must", layout.mandatory) + list("may", layout.optional) +
                       list("strings", layout.strings);
    for (const auto& name : layout.names)
        text += "name " + name.first + " " + name.second + "\n";
    return text + "end\n";
}

// Writes `text` with its checksum line to `path`: a new file beside the old
// one, then renamed over it, so that a reader sees the old file or the new
// one, never half of one.
bool writefile(const std::string& path, const std::string& text)
{
    const std::string sealed = text + "sum " + fnv(text) + "\n";
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        mylog.at(2) << "cache not written: " << std::strerror(errno) << logend;
        return false;
    }
    const bool written = ::fchmod(fd, 0600) == 0 &&
                         ::write(fd, sealed.data(), sealed.size()) == static_cast<ssize_t>(sealed.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        mylog.at(2) << "cache not written: " << std::strerror(errno) << logend;
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool writable(const classlayout& layout)
{
    auto allplain = [](const auto& names) { return std::all_of(names.begin(), names.end(), plain); };
    return plain(layout.structural) && allplain(layout.mandatory) && allplain(layout.optional) &&
           allplain(layout.strings) &&
           std::all_of(layout.names.begin(), layout.names.end(),
                       [](const auto& name) { return plain(name.first) && plain(name.second); });
}

} // namespace

bool readlastrun(const std::string& server, const std::string& identity, lastrun& last)
{
    const std::string dir = cachedirectory();
    if (dir.empty() || identity.empty())
        return false;
    const std::string contents = checked(readfile(dir + "/last-" + fnv(server + "\n" + identity)));
    lines file(contents);
    std::string_view line[8];
    for (std::string_view& text : line)
        if (!file.next(text))
            return false;
    if (line[0] != "usermail last run 1" || line[1] != "server " + server || line[2] != "identity " + identity)
        return false;
    last.dn = field(line[3], "dn");
    last.searched = line[4] == "searched yes";
    last.base = field(line[5], "base");
    last.filter = field(line[6], "filter");
    last.subentry = field(line[7], "subentry");
    std::string_view context;
    if (file.next(context))
        last.schemacontext = field(context, "schemacontext");
    return !last.dn.empty();
}

void writelastrun(const std::string& server, const std::string& identity, const lastrun& last)
{
    const std::string dir = cachedirectory();
    if (dir.empty() || identity.empty())
        return;
    const std::string fields[] = {server, identity, last.dn, last.base, last.filter, last.subentry,
                                  last.schemacontext};
    // One value a line: a line break in any of them can't be written faithfully.
    for (const std::string& field : fields)
        if (field.find_first_of("\r\n") != std::string::npos)
            return;
    writefile(dir + "/last-" + fnv(server + "\n" + identity),
              "usermail last run 1\nserver " + server + "\nidentity " + identity + "\ndn " + last.dn +
                  "\nsearched " + (last.searched ? "yes" : "no") + "\nbase " + last.base + "\nfilter " +
                  last.filter + "\nsubentry " + last.subentry + "\nschemacontext " + last.schemacontext + "\n");
}

bool readsite(const std::string& domain, std::string& site)
{
    const std::string dir = cachedirectory();
    if (dir.empty())
        return false;
    const std::string contents = checked(readfile(dir + "/site-" + fnv(domain)));
    lines file(contents);
    std::string_view line[4];
    for (std::string_view& text : line)
        if (!file.next(text))
            return false;
    const std::string until = field(line[3], "until");
    if (line[0] != "usermail site 1" || line[1] != "domain " + domain || line[2].substr(0, 5) != "site ")
        return false;
    char* end = nullptr;
    const long long expiry = std::strtoll(until.c_str(), &end, 10);
    const long long now = static_cast<long long>(std::time(nullptr));
    // An expiry further off than the longest lifetime was not written by us.
    if (until.empty() || *end || expiry <= now || expiry > now + sitelifetime)
        return false;
    site = field(line[2], "site");
    return true;
}

void writesite(const std::string& domain, const std::string& site)
{
    const std::string dir = cachedirectory();
    if (dir.empty() || domain.find_first_of("\r\n") != std::string::npos ||
        site.find_first_of("\r\n") != std::string::npos)
        return;
    const long long until = static_cast<long long>(std::time(nullptr)) + (site.empty() ? nositelifetime : sitelifetime);
    writefile(dir + "/site-" + fnv(domain),
              "usermail site 1\ndomain " + domain + "\nsite " + site + "\nuntil " + std::to_string(until) + "\n");
}

bool schemakey::usable() const
{
    return meaningful(subschemastamp) || meaningful(schemastamp);
}

schemacache::schemacache(const schemakey& key) : key(key)
{
    if (!key.usable())
        return;
    const std::string dir = cachedirectory();
    if (dir.empty())
        return;
    path = dir + "/" + filename(key);
    const std::string contents = checked(readfile(path));
    lines file(contents);
    std::string_view text;
    const std::string expected[] = {header, "server " + key.server, "subentry " + key.subentry,
                                    "subschemastamp " + key.subschemastamp, "schemastamp " + key.schemastamp};
    for (const std::string& line : expected)
        if (!file.next(text) || text != line)
            return; // missing, foreign, another version, or a schema that has changed
    std::map<std::string, classlayout> found;
    while (file.next(text)) {
        if (text.substr(0, 6) != "class ")
            return;
        classlayout layout;
        if (!readlayout(file, layout))
            return; // truncated or corrupt: all of it is ignored
        found[std::string(text.substr(6))] = std::move(layout);
    }
    layouts = std::move(found);
}

bool schemacache::present(const std::string& server, const std::string& subentry)
{
    const std::string dir = cachedirectory();
    schemakey key;
    key.server = server;
    key.subentry = subentry;
    struct stat st;
    return !dir.empty() && ::lstat((dir + "/" + filename(key)).c_str(), &st) == 0;
}

bool schemacache::take(const std::vector<std::string>& objectclasses, classlayout& layout)
{
    auto found = layouts.find(classkey(objectclasses));
    if (found == layouts.end())
        return false;
    layout = std::move(found->second);
    layouts.erase(found);
    return true;
}

void schemacache::store(const std::vector<std::string>& objectclasses, const classlayout& layout)
{
    if (path.empty() || !writable(layout))
        return;
    layouts[classkey(objectclasses)] = layout;
    std::string text = std::string(header) + "\nserver " + key.server + "\nsubentry " + key.subentry +
                       "\nsubschemastamp " + key.subschemastamp + "\nschemastamp " + key.schemastamp + "\n";
    for (const auto& entry : layouts)
        text += writelayout(entry.first, entry.second);
    if (writefile(path, text))
        mylog.at(2) << "schema cache written: " << path << logend;
}

} // namespace openldap
