// A directory that answers from a script and records every call, for the
// cases a real directory can't be made to produce on demand.
#pragma once

#include "directory/userdirectory.h"

#include <new>
#include <string>
#include <vector>

struct scriptedattribute {
    std::string name;
    userdirectory::readresult result = userdirectory::readresult::ok;
    attributevalue value;
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

inline scriptedattribute otherattribute(const std::string& name, userdirectory::readresult result)
{
    scriptedattribute attribute;
    attribute.name = name;
    attribute.result = result;
    return attribute;
}

class scripteddirectory : public userdirectory {
public:
    // Which operations fail; a failure carries `cause`.
    bool startfails = false, sessionfails = false, finduserfails = false, openuserfails = false;
    bool objectnamefails = false, schemafails = false, classfails = false;
    bool mandatoryfails = false, optionalfails = false;
    bool readsfail = false; // every attribute read fails
    std::string cause = "the scripted cause";
    bool unreachablefailure = false; // a failed schema step did not reach the directory

    std::string dn = "CN=Alice Example,CN=Users,DC=example,DC=test";
    std::string name = "CN=Alice Example";
    std::string schema = "LDAP://schema/user";
    std::vector<scriptedattribute> mandatory, optional;

    std::vector<std::string> calls;

    status start() override { return answer("start", startfails); }
    void stop() override { calls.push_back("stop"); }
    status opensession() override { return answer("opensession", sessionfails); }
    void closesession() override { calls.push_back("closesession"); }
    status finduser(std::string& text) override
    {
        text = dn;
        return answer("finduser", finduserfails);
    }
    status openuser() override { return answer("openuser", openuserfails); }
    void closeuser() override { calls.push_back("closeuser"); }
    status objectname(std::string& text) override
    {
        text = name;
        return answer("objectname", objectnamefails);
    }
    status schemapath(std::string& text) override
    {
        text = schema;
        return answer("schemapath", schemafails);
    }
    status openclass() override { return answer("openclass", classfails); }
    void closeclass() override { calls.push_back("closeclass"); }
    status openlist(listkind kind, std::size_t& count) override
    {
        open = kind == listkind::mandatory ? &mandatory : &optional;
        count = open->size();
        return answer(kind == listkind::mandatory ? "mandatory" : "optional",
                      kind == listkind::mandatory ? mandatoryfails : optionalfails);
    }
    void closelist() override { calls.push_back("closelist"); }
    bool attributename(std::size_t index, std::string& text) override
    {
        text = (*open)[index].name;
        return (*open)[index].hasname;
    }
    readresult readattribute(std::size_t index, attributevalue& value, status& why) override
    {
        const scriptedattribute& attribute = (*open)[index];
        calls.push_back("read " + attribute.name);
        if (attribute.throwsonget)
            throw std::bad_alloc();
        if (attribute.result == readresult::failed || readsfail) {
            why = status::failure(5, cause, unreachablefailure);
            return readresult::failed;
        }
        value = attribute.value;
        return attribute.result;
    }

private:
    status answer(const char* call, bool fails)
    {
        calls.push_back(call);
        return fails ? status::failure(5, cause, unreachablefailure) : status();
    }

    const std::vector<scriptedattribute>* open = nullptr;
};
