// The scenario file: one setting a line, UTF-8, "#" starts a comment line.
//   username TEXT | username null        the user's DN from get_UserName
//   name TEXT                            get_Name
//   schema TEXT                          get_Schema
//   mandatory SHAPE NAME...              get_MandatoryProperties
//   optional SHAPE NAME...               get_OptionalProperties
//       SHAPE: array (VARIANT BSTRs), bstrs (an array of BSTRs), bstr (the
//       first name alone), 2d,
//       mixed (a name "#" is a VT_I4 element), empty (no data pointer)
//   value NAME TYPE [TEXT]               what Get gives for NAME
//       TYPE: bstr nullbstr i4 bool array (TEXT split at ";"), multi (the
//       same, but one value alone is a plain BSTR, as ADSI gives it), octets
//       (TEXT's characters as bytes), date, largeint (an IADsLargeInteger),
//       dispatch, byrefbstr, empty; a name without a value is
//       E_ADS_PROPERTY_NOT_FOUND
//   novalue NAME                         takes a default value away
//   failconversion TEXT                  the program's WideCharToMultiByte
//                                        fails for TEXT (no mapping)
//   result CALL HRESULT                  CALL: CoInitialize CreateInstance
//       get_UserName ADsOpenObject get_Name get_Schema ADsGetObject
//       get_MandatoryProperties get_OptionalProperties "Get NAME", and
//       GetInfo (the property cache's load, which every Get then fails with)
#include "testdirectory.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testdirectory {

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                        static_cast<int>(wide.size()));
    return wide;
}

std::string utf8(const wchar_t* wide)
{
    if (!wide)
        return "(null)";
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], size, nullptr, nullptr);
    text.resize(size > 0 ? size - 1 : 0);
    return text;
}

HRESULT scenario::result(const std::string& call) const
{
    auto found = results.find(call);
    return found == results.end() ? S_OK : found->second;
}

namespace {

std::string rest(std::istringstream& line)
{
    std::string text;
    std::getline(line >> std::ws, text);
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

void readlist(std::istringstream& line, namelist& list)
{
    list.names.clear();
    line >> list.shape;
    for (std::string name; line >> name;)
        list.names.push_back(widen(name));
}

scenario load()
{
    // The sample user of the Linux demo directory, in ADSI's forms, with
    // what a real Active Directory user has beside it.
    scenario loaded;
    loaded.mandatory.names = {L"objectClass", L"instanceType", L"nTSecurityDescriptor", L"objectCategory",
                              L"sn", L"cn", L"sAMAccountName"};
    loaded.optional.names = {L"userAccountControl", L"telephoneNumber", L"userPrincipalName", L"uid", L"mail",
                             L"description", L"proxyAddresses", L"objectGUID", L"msRTCSIP-PrimaryUserAddress",
                             L"objectSid", L"otherMailbox", L"lastLogon", L"pwdLastSet", L"accountExpires",
                             L"whenCreated"};
    auto& values = loaded.values;
    values[L"objectClass"] = {"array", L"top;person;organizationalPerson;user"};
    values[L"instanceType"] = {"i4", L""};
    values[L"nTSecurityDescriptor"] = {"dispatch", L""};
    values[L"objectCategory"] = {"bstr", L"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test"};
    values[L"sn"] = {"bstr", L"Liddell"};
    values[L"cn"] = {"bstr", L"Alice Liddell"};
    values[L"sAMAccountName"] = {"bstr", L"alice"};
    values[L"userAccountControl"] = {"i4", L""};
    values[L"userPrincipalName"] = {"bstr", L"alice@example.test"};
    values[L"uid"] = {"bstr", L"alice"};
    values[L"mail"] = {"bstr", L"alice.liddell@example.test"};
    values[L"description"] = {"bstr", L"Caterpillar's %s friend, 100%"};
    values[L"proxyAddresses"] = {"multi", L"SMTP:alice.liddell@example.test;smtp:alice@example.test"};
    values[L"objectGUID"] = {"octets", L"0123456789abcdef"};
    values[L"msRTCSIP-PrimaryUserAddress"] = {"bstr", L"sip:a.liddell@example.test"};
    values[L"objectSid"] = {"octets", std::wstring(L"\x01\x05\0\0\0\0\0\x05\x15\0\0\0", 12) + L"sidsidsidsid"};
    values[L"otherMailbox"] = {"multi", L"alice@wonderland.test"};
    values[L"lastLogon"] = {"largeint", L""};
    values[L"pwdLastSet"] = {"largeint", L""};
    values[L"accountExpires"] = {"largeint", L""};
    values[L"whenCreated"] = {"date", L""};
    const char* path = std::getenv("USERMAIL_SCENARIO");
    if (!path) {
        // No scenario: a machine that belongs to no domain.
        loaded.results["get_UserName"] = HRESULT_FROM_WIN32(ERROR_NO_SUCH_DOMAIN);
        return loaded;
    }
    std::ifstream file(path);
    for (std::string text; std::getline(file, text);) {
        std::istringstream line(text);
        std::string key;
        if (!(line >> key) || key[0] == '#')
            continue;
        if (key == "username") {
            const std::string value = rest(line);
            loaded.nullusername = value == "null";
            loaded.username = widen(value);
        } else if (key == "name") {
            loaded.name = widen(rest(line));
        } else if (key == "schema") {
            loaded.schema = widen(rest(line));
        } else if (key == "mandatory") {
            readlist(line, loaded.mandatory);
        } else if (key == "optional") {
            readlist(line, loaded.optional);
        } else if (key == "value") {
            std::string name;
            attribute value;
            line >> name >> value.type;
            value.text = widen(rest(line));
            loaded.values[widen(name)] = value;
        } else if (key == "novalue") {
            std::string name;
            line >> name;
            loaded.values.erase(widen(name));
        } else if (key == "failconversion") {
            loaded.failconversion = widen(rest(line));
        } else if (key == "result") {
            std::string call, code;
            line >> call;
            if (call == "Get") {
                std::string name;
                line >> name;
                call += " " + name;
            }
            line >> code;
            loaded.results[call] = static_cast<HRESULT>(std::strtoul(code.c_str(), nullptr, 0));
        }
    }
    return loaded;
}

} // namespace

const scenario& current()
{
    static const scenario loaded = load();
    return loaded;
}

} // namespace testdirectory
