// What the user query needs from a directory service, one operation per call
// it makes: start the runtime, find the user, bind, read the schema class and
// its attribute names, read attributes, release. Each platform supplies one
// (COM and ADSI on Windows, LDAP elsewhere); tests supply a scripted one.
//
// Every operation returns true only when it succeeded outright. A failing
// operation leaves its cause as the thread's last error (platform seam), so
// the message raised for it can name the cause. Text crosses this interface
// as narrow text in the process's code page.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// One attribute value as the query sees it: a single string, or anything else.
struct myvalue {
    bool isstring = false;
    std::string text;
};

class mydirectory {
public:
    enum class listkind { mandatory, optional };
    enum class readresult { ok, notfound, failed };

    virtual ~mydirectory() = default;

    virtual bool initialize() = 0; // the runtime, for the length of the query
    virtual void uninitialize() = 0;

    virtual bool createsysteminfo() = 0; // what knows the logged-on user
    virtual void releasesysteminfo() = 0;
    // The user's distinguished name, as narrow text for the log. The backend
    // keeps the name as the directory gave it for `bind`.
    virtual bool username(std::string& name) = 0;

    // Binds to the user's object: "LDAP://" followed by the name, unchanged.
    virtual bool bind() = 0;
    virtual void releaseuser() = 0;
    virtual bool objectname(std::string& name) = 0;
    virtual bool schemapath(std::string& path) = 0;

    virtual bool openclass() = 0; // the schema class named by the schema path
    virtual void releaseclass() = 0;

    // Opens one of the class's name lists; `count` is the number of entries.
    virtual bool namelist(listkind kind, std::size_t& count) = 0;
    // The name at `index` of the open list; false for an entry that holds no name.
    virtual bool listname(std::size_t index, std::string& name) = 0;
    // Reads the attribute named at `index` of the open list from the user object.
    virtual readresult get(std::size_t index, myvalue& value) = 0;
    virtual void releasenamelist() = 0;
};

// The directory of the platform the program was built for.
std::unique_ptr<mydirectory> makedirectory();
