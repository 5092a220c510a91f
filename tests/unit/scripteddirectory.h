// A directory that answers from a script and records every call, for the
// cases a real directory can't be made to produce on demand.
#pragma once

#include "directory/mydirectory.h"
#include "platform/platform.h"

#include <new>
#include <string>
#include <vector>

struct scriptedattribute {
    std::string name;
    mydirectory::readresult result = mydirectory::readresult::ok;
    myvalue value;
    bool hasname = true;     // false: the list entry holds no name
    bool throwsonget = false; // the read runs out of memory
};

inline scriptedattribute stringattribute(const std::string& name, const std::string& text)
{
    scriptedattribute attribute;
    attribute.name = name;
    attribute.value.isstring = true;
    attribute.value.text = text;
    return attribute;
}

inline scriptedattribute otherattribute(const std::string& name, mydirectory::readresult result)
{
    scriptedattribute attribute;
    attribute.name = name;
    attribute.result = result;
    return attribute;
}

class myscripteddirectory : public mydirectory {
public:
    // Which operations fail; a failure leaves `cause` as the last error.
    bool initializefails = false, createfails = false, usernamefails = false, bindfails = false;
    bool objectnamefails = false, schemafails = false, classfails = false;
    bool mandatoryfails = false, optionalfails = false;
    std::string cause = "the scripted cause";

    std::string dn = "CN=Alice Example,CN=Users,DC=example,DC=test";
    std::string name = "CN=Alice Example";
    std::string schema = "LDAP://schema/user";
    std::vector<scriptedattribute> mandatory, optional;

    std::vector<std::string> calls;

    bool initialize() override { return answer("initialize", initializefails); }
    void uninitialize() override { calls.push_back("uninitialize"); }
    bool createsysteminfo() override { return answer("createsysteminfo", createfails); }
    void releasesysteminfo() override { calls.push_back("releasesysteminfo"); }
    bool username(std::string& text) override
    {
        text = dn;
        return answer("username", usernamefails);
    }
    bool bind() override { return answer("bind", bindfails); }
    void releaseuser() override { calls.push_back("releaseuser"); }
    bool objectname(std::string& text) override
    {
        text = name;
        return answer("objectname", objectnamefails);
    }
    bool schemapath(std::string& text) override
    {
        text = schema;
        return answer("schemapath", schemafails);
    }
    bool openclass() override { return answer("openclass", classfails); }
    void releaseclass() override { calls.push_back("releaseclass"); }
    bool namelist(listkind kind, std::size_t& count) override
    {
        open = kind == listkind::mandatory ? &mandatory : &optional;
        count = open->size();
        return answer(kind == listkind::mandatory ? "mandatory" : "optional",
                      kind == listkind::mandatory ? mandatoryfails : optionalfails);
    }
    bool listname(std::size_t index, std::string& text) override
    {
        text = (*open)[index].name;
        return (*open)[index].hasname;
    }
    readresult get(std::size_t index, myvalue& value) override
    {
        const scriptedattribute& attribute = (*open)[index];
        calls.push_back("get " + attribute.name);
        if (attribute.throwsonget)
            throw std::bad_alloc();
        if (attribute.result == readresult::failed)
            platform::setlasterror(5, cause.c_str());
        value = attribute.value;
        return attribute.result;
    }
    void releasenamelist() override { calls.push_back("releasenamelist"); }

private:
    bool answer(const char* call, bool fails)
    {
        calls.push_back(call);
        if (fails)
            platform::setlasterror(5, cause.c_str());
        return !fails;
    }

    const std::vector<scriptedattribute>* open = nullptr;
};
