#include "directory/harvest.h"

#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct charclasses {
    std::array<bool, 256> local{};
    std::array<bool, 256> domain{};

    constexpr charclasses()
    {
        for (int c = 0; c < 256; ++c) {
            bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            local[c] = alnum;
            domain[c] = alnum || c == '-' || c == '.';
        }
        for (const char* p = "!#$%&'*+-/=?^_`{|}~."; *p; ++p)
            local[static_cast<unsigned char>(*p)] = true;
    }
};

constexpr charclasses classes;

// RFC 5321's limits: a local part of at most 64 octets, an address (a
// path less its angle brackets) of at most 254. Anything longer is no
// address, however many megabytes a value holds.
constexpr std::size_t maxlocal = 64, maxaddress = 254;

// Appends candidates that the result list doesn't hold yet. Short lists are
// searched as they stand; a long one (a hostile value can hold a million
// candidates) gets an open-addressing table of its indices beside it, so that
// harvesting stays linear.
class appender {
public:
    explicit appender(stringlist& results) : results(results) {}

    void append(std::string_view candidate)
    {
        if (results.size() <= linearlimit) {
            for (const std::string& result : results)
                if (result == candidate)
                    return;
            results.emplace_back(candidate);
            return;
        }
        for (; indexed < results.size(); ++indexed)
            insert(indexed, hash(results[indexed]));
        const std::size_t candidatehash = hash(candidate);
        if (slots[find(candidate, candidatehash)].index != 0)
            return;
        results.emplace_back(candidate);
        insert(indexed++, candidatehash);
    }

private:
    static constexpr std::size_t linearlimit = 32;

    // The hash is kept beside the index, so that growing the table and most
    // failed comparisons never touch the strings themselves.
    struct slot {
        std::size_t hash = 0;
        std::size_t index = 0; // one more than the list index; 0: empty
    };

    static std::size_t hash(std::string_view text) { return std::hash<std::string_view>()(text); }

    // The slot holding `text`, or the empty slot where it would go.
    std::size_t find(std::string_view text, std::size_t texthash) const
    {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t at = texthash & mask;; at = (at + 1) & mask) {
            const slot& s = slots[at];
            if (s.index == 0 || (s.hash == texthash && results[s.index - 1] == text))
                return at;
        }
    }

    void insert(std::size_t index, std::size_t texthash)
    {
        if (2 * (used + 1) > slots.size()) {
            // Keep the table at most half full.
            std::vector<slot> old(std::max<std::size_t>(128, 2 * slots.size()));
            old.swap(slots);
            const std::size_t mask = slots.size() - 1;
            for (const slot& s : old) {
                std::size_t at = s.hash & mask;
                while (s.index != 0 && slots[at].index != 0)
                    at = (at + 1) & mask;
                if (s.index != 0)
                    slots[at] = s;
            }
        }
        const std::size_t mask = slots.size() - 1;
        std::size_t at = texthash & mask;
        while (slots[at].index != 0)
            at = (at + 1) & mask;
        slots[at] = slot{texthash, index + 1};
        ++used;
    }

    stringlist& results;
    std::vector<slot> slots;
    std::size_t used = 0;
    std::size_t indexed = 0;
};

// A value's text as characters of the narrow character set, which the byte
// classes can't see: where each character starts (a double-byte character's
// trail byte may look like '@' or an ASCII letter), and which non-ASCII
// characters are letters or digits. An ASCII value needs none of it.
class characters {
public:
    characters(const char* value, std::size_t length) : value(value), length(length)
    {
        const auto* text = reinterpret_cast<const unsigned char*>(value);
        if (std::all_of(text, text + length, [](unsigned char c) { return c < 0x80; }))
            return;
        starts.assign(length + 1, false);
        for (std::size_t at = 0; at < length; at += platform::narrowcharlength(value + at, length - at))
            starts[at] = true;
        starts[length] = true;
    }
    // Whether a character starts at `at`.
    bool boundary(std::size_t at) const { return starts.empty() || starts[at]; }
    // Whether the character that ends at `end`, or the one that starts at
    // `begin`, is a letter or digit outside ASCII: the candidate next to it
    // is a piece of a longer word ("jörg@example.test" must not give
    // "rg@example.test"). Non-ASCII spaces and punctuation end a word.
    bool wordbefore(std::size_t end) const
    {
        if (end == 0 || starts.empty() || (static_cast<unsigned char>(value[end - 1]) < 0x80 && starts[end - 1]))
            return false;
        std::size_t begin = end - 1;
        while (begin > 0 && !starts[begin])
            --begin;
        return platform::narrowalnum(value + begin, end - begin);
    }
    bool wordafter(std::size_t begin) const
    {
        return begin < length && static_cast<unsigned char>(value[begin]) >= 0x80 &&
               platform::narrowalnum(value + begin, platform::narrowcharlength(value + begin, length - begin));
    }

private:
    const char* value;
    std::size_t length;
    std::vector<bool> starts; // empty for ASCII text
};

// Whether the candidate [start, stop) holds or touches a character that the
// conversion to narrow text substituted.
bool substitutedin(std::size_t start, std::size_t stop, const std::vector<std::size_t>& substituted)
{
    auto first = std::lower_bound(substituted.begin(), substituted.end(), start > 0 ? start - 1 : 0);
    return first != substituted.end() && *first <= stop;
}

void harvestvalue(const char* value, std::size_t length, const std::vector<std::size_t>& substituted,
                  stringlist& results)
{
    appender appender(results);
    const characters text(value, length);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value);
    std::size_t from = 0;
    while (from < length) {
        const void* found = std::memchr(bytes + from, '@', length - from);
        if (!found)
            return;
        const std::size_t at = static_cast<const unsigned char*>(found) - bytes;
        // An '@' that is a double-byte character's trail byte is no '@'.
        if (!text.boundary(at)) {
            from = at + 1;
            continue;
        }
        // No further back than makes a local part too long for an address.
        std::size_t start = at;
        while (start > 0 && at - start <= maxlocal && classes.local[bytes[start - 1]])
            --start;
        const bool toolong = at - start > maxlocal;
        // Never from inside a character: its ASCII-looking trail byte is not
        // part of the address.
        while (!text.boundary(start))
            ++start;
        std::size_t stop = at + 1;
        while (stop < length && classes.domain[bytes[stop]])
            ++stop;
        if (!toolong && stop - start <= maxaddress && !text.wordbefore(start) && !text.wordafter(stop) &&
            !substitutedin(start, stop, substituted))
            appender.append(std::string_view(value + start, stop - start));
        from = stop;
    }
}

} // namespace

bool islocalchar(unsigned char c)
{
    return classes.local[c];
}

bool isdomainchar(unsigned char c)
{
    return classes.domain[c];
}

void harvestaddresses(const stringlist& properties, const char* name, const char* value,
                      stringlist& results, const std::vector<std::size_t>& substituted)
{
    if (!value || !name)
        return;
    for (const std::string& requested : properties) {
        if (requested == name)
            harvestvalue(value, std::strlen(value), substituted, results);
    }
}
