// The trace of what the program does with what the directory gives it.
#include "testdirectory.h"

#include <cstdlib>
#include <set>

namespace testdirectory {

namespace {

struct thing {
    kind what;
    std::string label;
    int locks = 0;
};

// Allocated once and never freed: the report runs at process detach, when
// the C runtime may already be tearing statics down.
std::map<const void*, thing>& things()
{
    static auto* all = new std::map<const void*, thing>;
    return *all;
}
bool comdown = false;
int orderfaults = 0, misuses = 0;
HANDLE file = INVALID_HANDLE_VALUE;

void orderfault(const std::string& text)
{
    ++orderfaults;
    trace("order fault: " + text);
}

bool alive(const std::string& label)
{
    for (const auto& entry : things())
        if (entry.second.label == label)
            return true;
    return false;
}

bool anyarray()
{
    for (const auto& entry : things())
        if (entry.second.what == kind::array)
            return true;
    return false;
}

} // namespace

void trace(const std::string& line)
{
    if (file == INVALID_HANDLE_VALUE) {
        const char* path = std::getenv("USERMAIL_TRACE");
        if (!path)
            return;
        file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
    }
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string born(const void* thing, kind what, const std::string& label)
{
    static int counts[3];
    std::string name = label;
    if (name.empty())
        name = (what == kind::bstr ? "bstr#" : what == kind::array ? "array#" : "object#") +
               std::to_string(++counts[static_cast<int>(what)]);
    things()[thing] = {what, name, 0};
    return name;
}

bool tracked(const void* thing)
{
    return things().count(thing) != 0;
}

std::string label(const void* thing)
{
    auto found = things().find(thing);
    return found == things().end() ? "untracked" : found->second.label;
}

void died(const void* thing, const std::string& how)
{
    auto found = things().find(thing);
    if (found == things().end())
        return;
    const std::string name = found->second.label;
    trace(how + " " + name);
    if (comdown)
        orderfault(name + " given up after CoUninitialize");
    if (found->second.locks != 0)
        orderfault(name + " destroyed while locked");
    // Each name list goes before the class, the class before the user
    // object, the user object before the system-info object.
    if (name == "class" && anyarray())
        orderfault("class released while a name list is still held");
    if (name == "user" && alive("class"))
        orderfault("user released before class");
    if (name == "systeminfo" && (alive("user") || alive("class")))
        orderfault("systeminfo released before user or class");
    things().erase(found);
}

void locked(const void* array, int change)
{
    auto found = things().find(array);
    if (found != things().end())
        found->second.locks += change;
}

void misuse(const std::string& text)
{
    ++misuses;
    trace("misuse: " + text);
}

void uninitialized()
{
    trace("CoUninitialize");
    comdown = true;
}

void report()
{
    int leaks = 0;
    for (const auto& entry : things()) {
        ++leaks;
        trace("leak: " + entry.second.label +
              (entry.second.locks ? " (locked " + std::to_string(entry.second.locks) + ")" : ""));
    }
    trace("leaks: " + std::to_string(leaks) + ", order faults: " + std::to_string(orderfaults) +
          ", misuses: " + std::to_string(misuses));
}

// --- The program's imports -----------------------------------------------

namespace {

using sysfreestring = void(WINAPI*)(BSTR);
using variantclear = HRESULT(WINAPI*)(VARIANTARG*);
using safearraycall = HRESULT(WINAPI*)(SAFEARRAY*);
using safearrayaccess = HRESULT(WINAPI*)(SAFEARRAY*, void**);
using couninitialize = void(WINAPI*)();
using widetomultibyte = int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);

sysfreestring realsysfreestring;
variantclear realvariantclear;
safearrayaccess realaccessdata;
safearraycall realunaccessdata, realdestroy;
couninitialize realcouninitialize;
using cocreateinstance = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
cocreateinstance realcocreateinstance;
using coinitialize = HRESULT(WINAPI*)(LPVOID);
coinitialize realcoinitialize;
widetomultibyte realwidetomultibyte;

// The strings the directory gave that were freed; kept, never really freed,
// so that their addresses stay theirs and a second free is seen.
std::set<const void*>& freedstrings()
{
    static auto* freed = new std::set<const void*>;
    return *freed;
}

void WINAPI tracedsysfreestring(BSTR text)
{
    if (freedstrings().count(text)) {
        misuse("SysFreeString of a string already freed");
        return;
    }
    if (tracked(text)) {
        died(text, "SysFreeString");
        freedstrings().insert(text);
        return;
    }
    realsysfreestring(text);
}

HRESULT WINAPI tracedvariantclear(VARIANTARG* value)
{
    const VARTYPE type = value ? V_VT(value) : static_cast<VARTYPE>(VT_EMPTY);
    const void* held = nullptr;
    if (type == VT_BSTR)
        held = V_BSTR(value);
    else if (type & VT_ARRAY && !(type & VT_BYREF))
        held = V_ARRAY(value);
    const HRESULT result = realvariantclear(value);
    trace("VariantClear vt=" + std::to_string(type) + (held ? " " + label(held) : "") + " -> " +
          std::to_string(static_cast<unsigned long>(result)));
    if (result == S_OK && held)
        died(held, "freed by VariantClear:");
    return result;
}

HRESULT WINAPI tracedaccessdata(SAFEARRAY* array, void** data)
{
    const HRESULT result = realaccessdata(array, data);
    if (result == S_OK)
        locked(array, 1);
    trace("SafeArrayAccessData " + label(array) + " data=" + (data && *data ? "set" : "null"));
    return result;
}

HRESULT WINAPI tracedunaccessdata(SAFEARRAY* array)
{
    const HRESULT result = realunaccessdata(array);
    if (result == S_OK)
        locked(array, -1);
    trace("SafeArrayUnaccessData " + label(array));
    return result;
}

HRESULT WINAPI traceddestroy(SAFEARRAY* array)
{
    const bool ours = tracked(array);
    if (ours && array->cLocks > 0)
        misuse("SafeArrayDestroy of " + label(array) + " while it is locked");
    const HRESULT result = realdestroy(array);
    if (ours && result == S_OK)
        died(array, "SafeArrayDestroy");
    else if (ours)
        trace("SafeArrayDestroy " + label(array) + " failed: " + std::to_string(static_cast<unsigned long>(result)));
    return result;
}

void WINAPI tracedcouninitialize()
{
    uninitialized();
    realcouninitialize();
}

// Traced, and scripted: "result CoInitialize 0x00000001" is COM already
// initialised on the thread (S_FALSE), which the program must not undo.
HRESULT WINAPI tracedcoinitialize(LPVOID reserved)
{
    HRESULT result = realcoinitialize(reserved);
    const HRESULT scripted = current().result("CoInitialize");
    if (result == S_OK && scripted != S_OK)
        result = scripted;
    trace("CoInitialize -> " + std::to_string(static_cast<unsigned long>(result)));
    return result;
}

// ole32 asks the factory for the interface itself and says S_OK: a scripted
// success code other than S_OK is given here, with the object, as a
// provider's own CoCreateInstance may.
HRESULT WINAPI tracedcocreateinstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out)
{
    const HRESULT result = realcocreateinstance(clsid, outer, context, iid, out);
    const HRESULT scripted = current().result("CreateInstance");
    return result == S_OK && SUCCEEDED(scripted) ? scripted : result;
}

int WINAPI tracedwidetomultibyte(UINT codepage, DWORD flags, LPCWCH wide, int length, LPSTR narrow, int size,
                                 LPCCH fallback, LPBOOL used)
{
    const std::wstring& failing = current().failconversion;
    if (!failing.empty() && wide && length == -1 && failing == wide) {
        trace("WideCharToMultiByte \"" + utf8(wide) + "\" fails");
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return realwidetomultibyte(codepage, flags, wide, length, narrow, size, fallback, used);
}

// Points the program's import of `real` at `traced`.
template <typename function> void hook(function& real, const char* module, const char* name, function traced)
{
    // FARPROC to the function's real type, through void* as GetProcAddress's users must.
    real = reinterpret_cast<function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name)));
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress && descriptor->Name; ++descriptor) {
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk); slot->u1.Function;
             ++slot) {
            if (reinterpret_cast<void*>(slot->u1.Function) != reinterpret_cast<void*>(real))
                continue;
            DWORD old = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(traced);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
        }
    }
}

} // namespace

void hookimports()
{
    hook(realsysfreestring, "oleaut32.dll", "SysFreeString", tracedsysfreestring);
    hook(realvariantclear, "oleaut32.dll", "VariantClear", tracedvariantclear);
    hook(realaccessdata, "oleaut32.dll", "SafeArrayAccessData", tracedaccessdata);
    hook(realunaccessdata, "oleaut32.dll", "SafeArrayUnaccessData", tracedunaccessdata);
    hook(realdestroy, "oleaut32.dll", "SafeArrayDestroy", traceddestroy);
    hook(realcouninitialize, "ole32.dll", "CoUninitialize", tracedcouninitialize);
    hook(realcocreateinstance, "ole32.dll", "CoCreateInstance", tracedcocreateinstance);
    hook(realcoinitialize, "ole32.dll", "CoInitialize", tracedcoinitialize);
    hook(realwidetomultibyte, "kernel32.dll", "WideCharToMultiByte", tracedwidetomultibyte);
}

} // namespace testdirectory
