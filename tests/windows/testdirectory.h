// A directory for the Windows program's tests under Wine, at the COM level:
// activeds.dll (ADsOpenObject, ADsGetObject) and the in-process server of
// the ADSystemInfo class in one DLL, answering from a scenario file and
// tracing every call the program makes into it. Built for the tests only.
//
//   USERMAIL_SCENARIO  the scenario file (scenario.cpp says what it holds)
//   USERMAIL_TRACE     the trace, appended to: a line per call, and at exit
//                      "leaks: N, order faults: M" after a line for each
#pragma once

#define CINTERFACE
#define COBJMACROS
#include <windows.h>

#include <activeds.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <vector>

namespace testdirectory {

// One attribute value as the scenario gives it.
struct attribute {
    std::string type = "bstr"; // bstr nullbstr i4 bool array multi octets date largeint dispatch byrefbstr empty
    std::wstring text;
};

// One of the class's name lists.
struct namelist {
    std::string shape = "array"; // array bstr 2d mixed empty
    std::vector<std::wstring> names;
};

struct scenario {
    std::wstring username = L"CN=Alice Liddell,OU=People,DC=example,DC=test";
    bool nullusername = false;
    std::wstring name = L"CN=Alice Liddell";
    std::wstring schema = L"LDAP://example.test/schema/user";
    namelist mandatory, optional;
    std::map<std::wstring, attribute> values;
    std::map<std::string, HRESULT> results; // by call, e.g. "get_Name" or "Get mail"
    std::wstring failconversion;            // a text the program can't convert

    // What the call returns: S_OK unless the scenario says otherwise.
    HRESULT result(const std::string& call) const;
};

// The scenario of this process, read once.
const scenario& current();

std::wstring widen(const std::string& utf8);
std::string utf8(const wchar_t* wide);

// The trace. Each tracked thing has a label ("user", "bstr#3", "array#1");
// `born` starts tracking it, `died` ends it and checks the order in which
// things are given up.
void trace(const std::string& line);
enum class kind { object, bstr, array };
std::string born(const void* thing, kind what, const std::string& label = "");
void died(const void* thing, const std::string& how);
bool tracked(const void* thing);
std::string label(const void* thing);
void locked(const void* array, int change); // SafeArrayAccessData +1, Unaccess -1
void uninitialized();                       // CoUninitialize
// A use of something the directory handed out that would crash or corrupt a
// real one (a release past zero, a string freed twice): reported, survived.
void misuse(const std::string& text);
void report();                              // at process exit
// Redirects the program's own imports of the OLE Automation and COM calls
// that give things up through the trace.
void hookimports();

} // namespace testdirectory
