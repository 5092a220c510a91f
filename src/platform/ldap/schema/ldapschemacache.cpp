#include "platform/ldap/schema/ldapschemacache.h"

#include "log/mylog.h"
#include "platform/clock.h"
#include "platform/ldap/common/ldaptext.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace openldap {

namespace {

const char* const header = "usermail schema cache 2";
// Whether a file of this modification time was confirmed within the trust
// window (a time to come was not).
bool confirmedlately(std::time_t modified)
{
    const std::time_t now = platform::walltime();
    return modified <= now && modified > now - schemacache::trustwindow;
}

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
    return join(objectclasses, " ");
}

// Names and OIDs as a schema may hold them; anything else (a space, a
// control character) can't be written to a line-based file faithfully.
bool plain(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == ';' || c == '_';
    });
}

// The file's name for a server and subschema entry.
std::string filename(const std::string& server, const std::string& subentry)
{
    return "schema-" + hexhash(server + "\n" + subentry);
}

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
// Of the names, only those of `types` are kept (all without it).
bool readlayout(recordlines& file, classlayout& layout, const std::unordered_set<std::string>* types)
{
    std::string alias; // reused: most names are passed over
    for (std::string_view text; file.next(text);) {
        const std::size_t space = std::min(text.find(' '), text.size());
        const std::string_view field = text.substr(0, space);
        const std::string_view rest = text.substr(std::min(space + 1, text.size()));
        if (field == "name") { // the commonest line: "name ALIAS FIRSTNAME"
            const std::size_t split = rest.find(' ');
            if (split == std::string_view::npos)
                return false;
            alias.assign(rest.substr(0, split));
            if (types && types->count(alias) == 0)
                continue;
            std::string first(rest.substr(split + 1));
            if (!plain(alias) || !plain(first))
                return false;
            layout.names.emplace(alias, std::move(first));
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

// A layout's lines after its "class" line.
std::string writelayout(const classlayout& layout)
{
    auto list = [](const std::string& field, const auto& names) {
        std::string line = field;
        for (const std::string& name : names)
            line += " " + name;
        return line + "\n";
    };
    std::string text = "structural " + layout.structural + "\n" +
                       list("must", layout.mandatory) + list("may", layout.optional) +
                       list("strings", layout.strings);
    for (const auto& name : layout.names)
        text += "name " + name.first + " " + name.second + "\n";
    return text + "end\n";
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

bool schemakey::usable() const
{
    return trusted || meaningful(subschemastamp) || meaningful(schemastamp);
}

schemacache::schemacache(const std::string& directory, const schemakey& key)
    : key(key), record(directory, filename(key.server, key.subentry))
{
    if (!key.usable())
        return;
    contents = record.read(&modified);
    recordlines file(contents);
    std::string_view text;
    for (const std::string& line : {std::string(header), "server " + key.server, "subentry " + key.subentry})
        if (!file.next(text) || text != line)
            return; // missing, foreign or another version
    if (!file.next(text) || text.substr(0, 15) != "subschemastamp ")
        return;
    filestamp = std::string(text.substr(15));
    // A trusted file stands for its own stamp, which must have been one.
    if (key.trusted ? !meaningful(filestamp) : filestamp != key.subschemastamp)
        return; // a schema that has changed
    if (!file.next(text) || text != "schemastamp " + key.schemastamp)
        return;
    // Only where each layout stands: the one a run needs is parsed when taken.
    std::map<std::string, std::pair<std::size_t, std::size_t>> found;
    while (file.next(text)) {
        if (text.substr(0, 6) != "class ")
            return;
        std::string classes(text.substr(6));
        const std::size_t begin = file.offset();
        bool ended = false;
        while (!ended && file.next(text))
            ended = text == "end";
        if (!ended)
            return; // cut short: all of it is ignored
        found[std::move(classes)] = {begin, file.offset() - begin};
    }
    blocks = std::move(found);
    if (key.trusted)
        this->key.subschemastamp = filestamp;
}

schemafile schemacache::look(const std::string& directory, const std::string& server, const std::string& subentry)
{
    const std::time_t modified = recordfile(directory, filename(server, subentry)).modified();
    if (modified < 0)
        return schemafile::none;
    return confirmedlately(modified) ? schemafile::trusted : schemafile::unconfirmed;
}

bool schemacache::take(const std::vector<std::string>& objectclasses, classlayout& layout,
                       const std::unordered_set<std::string>* types)
{
    auto found = blocks.find(classkey(objectclasses));
    if (found == blocks.end())
        return false;
    recordlines lines(std::string_view(contents).substr(found->second.first, found->second.second));
    classlayout parsed;
    if (!readlayout(lines, parsed, types)) {
        blocks.erase(found); // rewritten whole by the next store
        return false;
    }
    layout = std::move(parsed);
    // Asked and found unchanged: trusted for the next window. (Not on
    // Active Directory, whose stamp is asked on every run.)
    if (!key.trusted && key.schemastamp.empty() && !confirmedlately(modified))
        record.touch();
    return true;
}

void schemacache::reread(const std::string& subschemastamp)
{
    if (subschemastamp != filestamp)
        blocks.clear();
    key.subschemastamp = subschemastamp;
    key.trusted = false;
}

void schemacache::store(const std::vector<std::string>& objectclasses, const classlayout& layout)
{
    if (record.where().empty() || !key.usable() || !writable(layout))
        return;
    // The file's other layouts as they stand, this one new; in the order of
    // their class sets.
    const std::string classes = classkey(objectclasses);
    std::map<std::string, std::string_view> texts;
    for (const auto& block : blocks)
        texts[block.first] = std::string_view(contents).substr(block.second.first, block.second.second);
    const std::string added = writelayout(layout);
    texts[classes] = added;
    std::string text = std::string(header) + "\nserver " + key.server + "\nsubentry " + key.subentry +
                       "\nsubschemastamp " + key.subschemastamp + "\nschemastamp " + key.schemastamp + "\n";
    for (const auto& entry : texts)
        text.append("class ").append(entry.first).append("\n").append(entry.second);
    if (!record.write(text))
        return;
    mylog.at(2) << "schema cache written: " << record.where() << logend;
    // Elsewhere than on Active Directory a reading is trusted without asking
    // only once a later one has found the same stamp: one answer alone,
    // passing or wrong, never lasts the window. Until then each run asks:
    // the file is dated just past the window.
    if (key.schemastamp.empty() && !(meaningful(filestamp) && filestamp == key.subschemastamp))
        record.backdate(platform::walltime() - trustwindow - 1);
}

std::unordered_set<std::string> typesof(const entry& found)
{
    std::unordered_set<std::string> types;
    for (const auto& attribute : found.attributes)
        types.insert(lower(attribute.first.substr(0, attribute.first.find(';'))));
    return types;
}

bool knowsall(const classlayout& layout, const std::unordered_set<std::string>& types)
{
    return std::all_of(types.begin(), types.end(), [&](const std::string& type) {
        return type == "objectclass" || type == "subschemasubentry" || layout.names.count(type) != 0;
    });
}

} // namespace openldap
