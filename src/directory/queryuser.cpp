#include "directory/queryuser.h"

#include "directory/harvest.h"
#include "frontend/myexception.h"
#include "log/mylog.h"

#include <sstream>

namespace {

// Closes one open pair of the directory seam when it goes out of scope. The
// query declares them in the order it opens things, so C++ gives them up in
// the reverse order, on every path out, before the runtime is stopped.
template <void (userdirectory::*close)()> class opened {
public:
    explicit opened(userdirectory& directory) : directory(directory) {}
    opened(const opened&) = delete;
    opened& operator=(const opened&) = delete;
    ~opened() { (directory.*close)(); }

private:
    userdirectory& directory;
};

// A schema step failed: when the directory could not be reached, that
// fails the run; when it answered, the query ends there (the step is
// skipped), with the cause logged.
void schemastepfailed(userdirectory& directory, const char* message)
{
    const bool fatal = directory.unreachable();
    const std::string cause = lasterrortext();
    if (fatal)
        throw myexception(message, cause.c_str());
    mylog.at(2) << myexception(message, cause.c_str()).what() << logend;
}

void walk(userdirectory& directory, userdirectory::listkind kind, const stringlist& properties,
          stringlist& results)
{
    const bool mandatory = kind == userdirectory::listkind::mandatory;
    std::size_t count = 0;
    if (!directory.openlist(kind, count)) {
        schemastepfailed(directory, mandatory ? "unable to retrieve mandatory properties (%s)"
                                              : "unable to retrieve optional properties (%s)");
        return;
    }
    opened<&userdirectory::closelist> list(directory);
    mylog.at(1) << (mandatory ? "mandatory" : "optional") << " properties (" << count << "): " << logend;
    for (std::size_t index = 0; index < count; ++index) {
        std::string name;
        if (!directory.attributename(index, name))
            continue;
        attributevalue value;
        switch (directory.readattribute(index, value)) {
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
            // Logged in both walks: a mandatory attribute that can't be read
            // is worth a line as much as an optional one; its cause below.
            const std::string cause = lasterrortext();
            mylog.at(1) << name << " = " << "<failed retrieval>" << logend;
            mylog.at(2) << "unable to read " << name << " (" << cause << ")" << logend;
            break;
        }
        }
    }
}

// Everything between starting the runtime and stopping it.
void querysession(userdirectory& directory, const stringlist& properties, stringlist& results)
{
    if (!directory.opensession())
        throw myexception("unable to create ADSystemInfo com instance (%s)", lasterrortext());
    opened<&userdirectory::closesession> session(directory);
    mylog.at(1) << "ADSystemInfo com instance created" << logend;

    std::string username;
    if (!directory.finduser(username))
        throw myexception("unable to retrieve user name (%s)", lasterrortext());
    mylog.at(1) << "user name = " << username << logend;

    if (!directory.openuser())
        throw myexception("unable to bind to user object (%s)", lasterrortext());
    opened<&userdirectory::closeuser> user(directory);
    mylog.at(1) << "bind to user object okay" << logend;

    std::string text;
    if (directory.objectname(text))
        mylog.at(1) << "name = " << text << logend;
    if (!directory.schemapath(text)) {
        schemastepfailed(directory, "unable to retrieve schema (%s)");
        return;
    }
    mylog.at(1) << "schema = " << text << logend;
    if (!directory.openclass()) {
        schemastepfailed(directory, "unable to open schema class (%s)");
        return;
    }
    opened<&userdirectory::closeclass> schemaclass(directory);
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
    if (!directory.start())
        throw myexception("unable to initialize com (%s)", lasterrortext());
    try {
        opened<&userdirectory::stop> runtime(directory);
        querysession(directory, properties, results);
    } catch (const std::exception& error) {
        // Everything is closed and the runtime stopped by now; the caller gets
        // the failing step's text as a myexception, whatever raised it.
        throw myexception("%s", error.what());
    }
}
