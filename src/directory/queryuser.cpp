#include "directory/queryuser.h"

#include "directory/harvest.h"
#include "directory/myexception.h"
#include "directory/status.h"
#include "log/mylog.h"

#include <sstream>

namespace {

// Closes one open pair of the directory seam when it goes out of scope. The
// query declares them in the order it opens things, so C++ gives them up in
// the reverse order, on every path out, before the runtime is stopped.
template <void (userdirectory::*close)()> class closer {
public:
    explicit closer(userdirectory& directory) : directory(directory) {}
    closer(const closer&) = delete;
    closer& operator=(const closer&) = delete;
    ~closer() { (directory.*close)(); }

private:
    userdirectory& directory;
};

// The steps of the query that can fail, and the phrase each one's message
// names it by: "unable to <phrase> (<code> = <text>)", or for an attribute
// "unable to read <name> (<code> = <text>)".
enum class step { start, session, user, bind, schema, schemaclass, mandatory, optional, read };

const char* phrase(step failed)
{
    static const char* const phrases[] = {
        "initialize com",                   // step::start
        "create ADSystemInfo com instance", // step::session
        "retrieve user name",               // step::user
        "bind to user object",              // step::bind
        "retrieve schema",                  // step::schema
        "open schema class",                // step::schemaclass
        "retrieve mandatory properties",    // step::mandatory
        "retrieve optional properties",     // step::optional
        "read",                             // step::read, followed by the attribute's name
    };
    return phrases[static_cast<int>(failed)];
}

// The one text every failure of the query is reported with; `name` is the
// attribute a read failed for.
std::string message(step failed, const status& why, const std::string& name = std::string())
{
    return std::string("unable to ") + phrase(failed) + (name.empty() ? "" : " " + name) + " (" + why.text() + ")";
}

// Raises the failure of a step that ends the run.
void require(step current, const status& result, const std::string& name = std::string())
{
    if (!result.ok())
        throw myexception("%s", message(current, result, name).c_str());
}

// A schema step failed: when the directory could not be reached, that
// fails the run; when it answered, the query ends there (the step is
// skipped), with the cause logged.
void schemastepfailed(step failed, const status& why)
{
    if (why.unreachable())
        require(failed, why);
    mylog.at(2) << message(failed, why) << logend;
}

void walk(userdirectory& directory, userdirectory::listkind kind, const stringlist& properties,
          stringlist& results)
{
    const bool mandatory = kind == userdirectory::listkind::mandatory;
    std::size_t count = 0;
    const status listed = directory.openlist(kind, count);
    if (!listed.ok()) {
        schemastepfailed(mandatory ? step::mandatory : step::optional, listed);
        return;
    }
    closer<&userdirectory::closelist> list(directory);
    mylog.at(1) << (mandatory ? "mandatory" : "optional") << " properties (" << count << "): " << logend;
    for (std::size_t index = 0; index < count; ++index) {
        std::string name;
        if (!directory.attributename(index, name))
            continue;
        attributevalue value;
        status why;
        switch (directory.readattribute(index, value, why)) {
        case userdirectory::readresult::ok: {
            std::ostringstream text;
            writevalue(text, value);
            const std::string rendered = text.str();
            mylog.at(1) << name << " = " << rendered << logend;
            harvestaddresses(properties, name.c_str(), rendered.c_str(), results, value.substituted);
            break;
        }
        case userdirectory::readresult::notfound:
            break;
        case userdirectory::readresult::failed: {
            // A directory that can't be reached any more fails the run: each
            // later read would fail alike, and "no addresses" is no answer.
            if (why.unreachable())
                require(step::read, why, name);
            // Refused for this attribute alone: logged in both walks (a
            // mandatory attribute is worth a line as much as an optional
            // one), its cause below, and the walk goes on.
            mylog.at(1) << name << " = " << "<failed retrieval>" << logend;
            mylog.at(2) << message(step::read, why, name) << logend;
            break;
        }
        }
    }
}

// Everything between starting the runtime and stopping it.
void querysession(userdirectory& directory, const stringlist& properties, stringlist& results)
{
    require(step::session, directory.opensession());
    closer<&userdirectory::closesession> session(directory);
    mylog.at(1) << "ADSystemInfo com instance created" << logend;

    std::string username;
    require(step::user, directory.finduser(username));
    mylog.at(1) << "user name = " << username << logend;

    require(step::bind, directory.openuser());
    closer<&userdirectory::closeuser> user(directory);
    mylog.at(1) << "bind to user object okay" << logend;

    std::string text;
    if (directory.objectname(text).ok())
        mylog.at(1) << "name = " << text << logend;
    const status path = directory.schemapath(text);
    if (!path.ok()) {
        schemastepfailed(step::schema, path);
        return;
    }
    mylog.at(1) << "schema = " << text << logend;
    const status opened = directory.openclass();
    if (!opened.ok()) {
        schemastepfailed(step::schemaclass, opened);
        return;
    }
    closer<&userdirectory::closeclass> schemaclass(directory);
    mylog.at(1) << "schema retrieved okay" << logend;
    walk(directory, userdirectory::listkind::mandatory, properties, results);
    walk(directory, userdirectory::listkind::optional, properties, results);
}

} // namespace

void writevalue(std::ostream& stream, const attributevalue& value)
{
    if (value.isstring)
        stream << value.text;
    else
        stream << "<unhandled variant type>";
}

void queryuser(userdirectory& directory, const stringlist& properties, stringlist& results)
{
    // Unless the attribute lines can reach the log, only the requested
    // attributes are of use.
    directory.want(properties, mylog.buffer->passes(1));
    require(step::start, directory.start());
    try {
        closer<&userdirectory::stop> runtime(directory);
        querysession(directory, properties, results);
    } catch (const std::exception& error) {
        // Everything is closed and the runtime stopped by now; the caller gets
        // the failing step's text as a myexception, whatever raised it.
        throw myexception("%s", error.what());
    }
}
