#include "directory/queryuser.h"

#include "directory/harvest.h"
#include "frontend/myexception.h"
#include "log/mylog.h"

#include <sstream>

namespace {

// What the query holds at a given moment, so that a failure anywhere can give
// it all up before the runtime is shut down.
struct myheld {
    bool systeminfo = false;
    bool user = false;
    bool schemaclass = false;
    bool namelist = false;
};

void walk(mydirectory& directory, mydirectory::listkind kind, const mystringlist& properties,
          mystringlist& results, myheld& held)
{
    std::size_t count = 0;
    if (!directory.namelist(kind, count))
        return;
    held.namelist = true;
    mylog.at(1) << (kind == mydirectory::listkind::mandatory ? "mandatory" : "optional")
                << " properties (" << count << "): " << logend;
    for (std::size_t index = 0; index < count; ++index) {
        std::string name;
        if (!directory.listname(index, name))
            continue;
        myvalue value;
        std::ostringstream text;
        switch (directory.get(index, value)) {
        case mydirectory::readresult::ok: {
            writevalue(text, value);
            const std::string rendered = text.str();
            mylog.at(1) << name << " = " << rendered << logend;
            harvestaddresses(properties, name.c_str(), rendered.c_str(), results);
            break;
        }
        case mydirectory::readresult::notfound:
            break;
        case mydirectory::readresult::failed:
            // Logged in both walks: a mandatory attribute that can't be read
            // is worth a line as much as an optional one.
            mylog.at(1) << name << " = " << "<failed retrieval>" << logend;
            break;
        }
    }
    held.namelist = false;
    directory.releasenamelist();
}

void release(mydirectory& directory, myheld& held)
{
    if (held.namelist)
        directory.releasenamelist();
    if (held.schemaclass)
        directory.releaseclass();
    if (held.user)
        directory.releaseuser();
    if (held.systeminfo)
        directory.releasesysteminfo();
    held = myheld();
}

} // namespace

void writevalue(std::ostream& stream, const myvalue& value)
{
    if (value.isstring)
        stream << value.text;
    else
        stream << "<unhandled variant type>";
}

void queryuser(mydirectory& directory, const mystringlist& properties, mystringlist& results)
{
    if (!directory.initialize())
        throw myexception("unable to initialize com (%s)", lasterrortext());

    myheld held;
    bool failed = false;
    std::string saved;
    try {
        if (!directory.createsysteminfo())
            throw myexception("unable to create ADSystemInfo com instance (%s)", lasterrortext());
        held.systeminfo = true;
        mylog.at(1) << "ADSystemInfo com instance created" << logend;

        std::string username;
        if (!directory.username(username))
            throw myexception("unable to retrieve user name (%s)", lasterrortext());
        mylog.at(1) << "user name = " << username << logend;

        if (!directory.bind())
            throw myexception("unable to bind to user object (%s)", lasterrortext());
        held.user = true;
        mylog.at(1) << "bind to user object okay" << logend;

        std::string text;
        if (directory.objectname(text))
            mylog.at(1) << "name = " << text << logend;
        if (directory.schemapath(text)) {
            mylog.at(1) << "schema = " << text << logend;
            if (directory.openclass()) {
                held.schemaclass = true;
                mylog.at(1) << "schema retrieved okay" << logend;
                walk(directory, mydirectory::listkind::mandatory, properties, results, held);
                walk(directory, mydirectory::listkind::optional, properties, results, held);
            }
        }
    } catch (const std::exception& error) {
        failed = true;
        saved = error.what();
    }
    release(directory, held);
    directory.uninitialize();
    if (failed)
        throw myexception("%s", saved.c_str());
}
