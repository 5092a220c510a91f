// The directory's COM objects: the system-info object, the user object, the
// schema class, and the objects that Get may hand out, each implementing
// IUnknown and IDispatch honestly and its own interface's calls that the
// program makes; every other slot answers E_NOTIMPL.
#include "testdirectory.h"

#include <cwchar>
#include <new>

namespace testdirectory {

namespace {

const HRESULT propertynotfound = static_cast<HRESULT>(0x8000500DL);

std::string hex(HRESULT result)
{
    char text[16];
    wsprintfA(text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// An object: the interface pointer points at `vtbl`.
struct object {
    const void* vtbl;
    LONG refs;
    IID iid;
    std::string name;
};

HRESULT WINAPI notimplemented()
{
    trace("unexpected call: E_NOTIMPL");
    return E_NOTIMPL;
}

HRESULT WINAPI queryinterface(void* self, REFIID iid, void** out)
{
    auto* me = static_cast<object*>(self);
    if (!out)
        return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, me->iid)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ++me->refs;
    *out = self;
    return S_OK;
}

ULONG WINAPI addref(void* self)
{
    auto* me = static_cast<object*>(self);
    trace("AddRef " + me->name + " refs=" + std::to_string(me->refs + 1));
    return ++me->refs;
}

ULONG WINAPI release(void* self)
{
    auto* me = static_cast<object*>(self);
    // Objects are kept after their last release, so that one released again
    // is a reported misuse rather than a crash.
    if (me->refs <= 0) {
        misuse("Release of " + me->name + " past zero");
        return 0;
    }
    const LONG refs = --me->refs;
    trace("Release " + me->name + " refs=" + std::to_string(refs));
    if (refs == 0)
        died(me, "gone");
    return refs;
}

HRESULT WINAPI gettypeinfocount(void*, UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 0; // no type information: callers use the interface itself
    return S_OK;
}

// A vtable of `T` with every slot answering E_NOTIMPL but IUnknown's and
// IDispatch's, which every object implements.
template <typename T> T* makevtbl()
{
    auto* table = new T;
    auto** slots = reinterpret_cast<void**>(table);
    for (std::size_t i = 0; i < sizeof(T) / sizeof(void*); ++i)
        slots[i] = reinterpret_cast<void*>(notimplemented);
    slots[0] = reinterpret_cast<void*>(queryinterface);
    slots[1] = reinterpret_cast<void*>(addref);
    slots[2] = reinterpret_cast<void*>(release);
    slots[3] = reinterpret_cast<void*>(gettypeinfocount);
    return table;
}

void* create(const void* vtbl, REFIID iid, const std::string& name)
{
    auto* made = new object{vtbl, 1, iid, name};
    born(made, kind::object, name);
    return made;
}

// Gives out a string that the caller must free; tracked until it does.
BSTR give(const std::wstring& text)
{
    BSTR made = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    trace("  gives " + born(made, kind::bstr) + " \"" + utf8(made) + "\"");
    return made;
}

HRESULT answer(const std::string& call, const std::string& detail = "")
{
    const HRESULT result = current().result(call);
    trace(call + (detail.empty() ? "" : " " + detail) + " -> " + hex(result));
    return result;
}

HRESULT givestring(const std::string& call, const std::wstring& text, BSTR* out)
{
    *out = nullptr;
    const HRESULT result = answer(call);
    if (result == S_OK)
        *out = give(text);
    return result;
}

// --- IADsADSystemInfo ------------------------------------------------------

HRESULT WINAPI getusername(IADsADSystemInfo*, BSTR* out)
{
    *out = nullptr;
    const HRESULT result = answer("get_UserName");
    if (result == S_OK && !current().nullusername)
        *out = give(current().username);
    return result;
}

// --- IADs ----------------------------------------------------------------

HRESULT WINAPI getname(IADs*, BSTR* out)
{
    return givestring("get_Name", current().name, out);
}

HRESULT WINAPI getschema(IADs*, BSTR* out)
{
    return givestring("get_Schema", current().schema, out);
}

SAFEARRAY* variantarray(const std::vector<std::wstring>& items, bool mixed)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    VARIANT* elements = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&elements));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (mixed && items[i] == L"#") {
            V_VT(&elements[i]) = VT_I4;
            V_I4(&elements[i]) = 7;
        } else {
            V_VT(&elements[i]) = VT_BSTR;
            V_BSTR(&elements[i]) = SysAllocString(items[i].c_str());
        }
    }
    SafeArrayUnaccessData(array);
    return array;
}

std::vector<std::wstring> split(const std::wstring& text)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(L';', start)) != std::wstring::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

const void* dispatchvtbl();

void fill(VARIANT* out, const attribute& value)
{
    static BSTR byref = SysAllocString(L"by-reference@example.test");
    if (value.type == "bstr") {
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = give(value.text);
    } else if (value.type == "nullbstr") {
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = nullptr;
    } else if (value.type == "i4") {
        V_VT(out) = VT_I4;
        V_I4(out) = 42;
    } else if (value.type == "bool") {
        V_VT(out) = VT_BOOL;
        V_BOOL(out) = VARIANT_TRUE;
    } else if (value.type == "array") {
        V_VT(out) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(out) = variantarray(split(value.text), false);
        trace("  gives " + born(V_ARRAY(out), kind::array));
    } else if (value.type == "multi") {
        // ADSI gives a multi-valued attribute with one value as that value.
        const std::vector<std::wstring> items = split(value.text);
        if (items.size() == 1) {
            V_VT(out) = VT_BSTR;
            V_BSTR(out) = give(items[0]);
        } else {
            V_VT(out) = VT_ARRAY | VT_VARIANT;
            V_ARRAY(out) = variantarray(items, false);
            trace("  gives " + born(V_ARRAY(out), kind::array));
        }
    } else if (value.type == "octets") {
        // An octet string (objectGUID, objectSid): one byte a character.
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value.text.size()));
        unsigned char* bytes = nullptr;
        SafeArrayAccessData(array, reinterpret_cast<void**>(&bytes));
        for (std::size_t i = 0; i < value.text.size(); ++i)
            bytes[i] = static_cast<unsigned char>(value.text[i]);
        SafeArrayUnaccessData(array);
        V_VT(out) = VT_ARRAY | VT_UI1;
        V_ARRAY(out) = array;
        trace("  gives " + born(array, kind::array));
    } else if (value.type == "date") {
        V_VT(out) = VT_DATE;
        V_DATE(out) = 46000.5; // 2025-12-09 12:00
    } else if (value.type == "dispatch" || value.type == "largeint") {
        // A large integer (lastLogon, pwdLastSet) is an IADsLargeInteger object.
        const std::string name = value.type == "largeint" ? "largeinteger" : "dispatch";
        V_VT(out) = VT_DISPATCH;
        V_DISPATCH(out) = static_cast<IDispatch*>(create(dispatchvtbl(), IID_IDispatch, name));
        trace("  gives " + name);
    } else if (value.type == "byrefbstr") {
        V_VT(out) = VT_BYREF | VT_BSTR;
        V_BSTRREF(out) = &byref;
    } else {
        V_VT(out) = VT_EMPTY;
    }
}

HRESULT WINAPI get(IADs*, BSTR name, VARIANT* out)
{
    const std::string attribute = utf8(name);
    // A BSTR carries its length in bytes before its first character.
    if (!name || reinterpret_cast<const UINT*>(name)[-1] != std::wcslen(name) * sizeof(wchar_t))
        misuse("Get " + attribute + " with a name that is no BSTR");
    // The first Get loads the object's property cache (an implicit
    // GetInfo): when that fails, every Get fails the same way.
    static bool loaded = false;
    const HRESULT load = current().result("GetInfo");
    if (!loaded)
        trace("GetInfo (implicit) -> " + hex(load));
    loaded = true;
    HRESULT result = load != S_OK ? load : current().result("Get " + attribute);
    auto found = current().values.find(name ? name : L"");
    if (result == S_OK && found == current().values.end())
        result = propertynotfound;
    trace("Get " + attribute + " -> " + hex(result));
    if (result == S_OK)
        fill(out, found->second);
    return result;
}

// --- IADsClass -----------------------------------------------------------

HRESULT namelistof(const std::string& call, const namelist& list, VARIANT* out)
{
    VariantInit(out);
    const HRESULT result = answer(call, list.shape);
    if (result != S_OK)
        return result;
    if (list.shape == "bstr") {
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = give(list.names.empty() ? L"" : list.names.front());
        return S_OK;
    }
    SAFEARRAY* array = nullptr;
    if (list.shape == "2d") {
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(list.names.size()), 0}, {1, 0}};
        array = SafeArrayCreate(VT_VARIANT, 2, bounds);
    } else if (list.shape == "bstrs") {
        // As some providers give it: the names as an array of BSTRs.
        array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(list.names.size()));
        BSTR* names = nullptr;
        SafeArrayAccessData(array, reinterpret_cast<void**>(&names));
        for (std::size_t i = 0; i < list.names.size(); ++i)
            names[i] = SysAllocString(list.names[i].c_str());
        SafeArrayUnaccessData(array);
        V_VT(out) = VT_ARRAY | VT_BSTR;
        V_ARRAY(out) = array;
        trace("  gives " + born(array, kind::array));
        return S_OK;
    } else if (list.shape == "empty") {
        // An array with no elements and no data at all.
        SafeArrayAllocDescriptorEx(VT_VARIANT, 1, &array);
        array->rgsabound[0].cElements = 0;
        array->pvData = nullptr;
    } else {
        array = variantarray(list.names, list.shape == "mixed");
    }
    V_VT(out) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(out) = array;
    trace("  gives " + born(array, kind::array));
    return S_OK;
}

HRESULT WINAPI getmandatory(IADsClass*, VARIANT* out)
{
    return namelistof("get_MandatoryProperties", current().mandatory, out);
}

HRESULT WINAPI getoptional(IADsClass*, VARIANT* out)
{
    return namelistof("get_OptionalProperties", current().optional, out);
}

const void* dispatchvtbl()
{
    static const IDispatchVtbl* table = makevtbl<IDispatchVtbl>();
    return table;
}

const IADsADSystemInfoVtbl* systeminfovtbl()
{
    static IADsADSystemInfoVtbl* table = [] {
        auto* made = makevtbl<IADsADSystemInfoVtbl>();
        made->get_UserName = getusername;
        return made;
    }();
    return table;
}

const IADsVtbl* uservtbl()
{
    static IADsVtbl* table = [] {
        auto* made = makevtbl<IADsVtbl>();
        made->get_Name = getname;
        made->get_Schema = getschema;
        made->Get = get;
        return made;
    }();
    return table;
}

const IADsClassVtbl* classvtbl()
{
    static IADsClassVtbl* table = [] {
        auto* made = makevtbl<IADsClassVtbl>();
        made->get_MandatoryProperties = getmandatory;
        made->get_OptionalProperties = getoptional;
        return made;
    }();
    return table;
}

// Hands out `made` as `iid`, or gives it up again.
HRESULT handout(void* made, REFIID iid, void** out)
{
    const HRESULT result = queryinterface(made, iid, out);
    release(made);
    return result;
}

// A scripted success code other than S_OK comes with the object, as some
// providers hand one out with S_FALSE: the caller must still give it up.
HRESULT withobject(HRESULT scripted, HRESULT given)
{
    return given == S_OK ? scripted : given;
}

// --- The class factory of ADSystemInfo -------------------------------------

HRESULT WINAPI factoryqueryinterface(IClassFactory* self, REFIID iid, void** out)
{
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    *out = self;
    return S_OK;
}
ULONG WINAPI factoryaddref(IClassFactory*)
{
    return 2;
}
ULONG WINAPI factoryrelease(IClassFactory*)
{
    return 1;
}
HRESULT WINAPI createinstance(IClassFactory*, IUnknown* outer, REFIID iid, void** out)
{
    *out = nullptr;
    const HRESULT result = answer("CreateInstance");
    if (FAILED(result))
        return result;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return withobject(result, handout(create(systeminfovtbl(), IID_IADsADSystemInfo, "systeminfo"), iid, out));
}
HRESULT WINAPI lockserver(IClassFactory*, BOOL)
{
    return S_OK;
}
IClassFactoryVtbl factoryvtbl = {factoryqueryinterface, factoryaddref, factoryrelease, createinstance, lockserver};
IClassFactory factory = {&factoryvtbl};

const CLSID adsysteminfo = {0x50B6327F, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};

} // namespace
} // namespace testdirectory

using namespace testdirectory;

extern "C" HRESULT WINAPI ADsOpenObject(LPCWSTR path, LPCWSTR user, LPCWSTR password, DWORD flags, REFIID iid,
                                        void** out)
{
    *out = nullptr;
    const HRESULT result = answer("ADsOpenObject", "\"" + utf8(path) + "\" user=" + utf8(user) + " password=" +
                                                       utf8(password) + " flags=" + std::to_string(flags));
    if (FAILED(result))
        return result;
    // ADSI reads a "/" after the server part as a separator: one inside a DN
    // must be written "\/".
    const std::wstring dn = path && std::wcsncmp(path, L"LDAP://", 7) == 0 ? path + 7 : L"";
    for (std::size_t at = 0; at < dn.size(); ++at) {
        if (dn[at] == L'\\')
            ++at;
        else if (dn[at] == L'/')
            return E_ADS_BAD_PATHNAME;
    }
    return withobject(result, handout(create(uservtbl(), IID_IADs, "user"), iid, out));
}

extern "C" HRESULT WINAPI ADsGetObject(LPCWSTR path, REFIID iid, void** out)
{
    *out = nullptr;
    const HRESULT result = answer("ADsGetObject", "\"" + utf8(path) + "\"");
    if (FAILED(result))
        return result;
    return withobject(result, handout(create(classvtbl(), IID_IADsClass, "class"), iid, out));
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!IsEqualCLSID(clsid, adsysteminfo)) {
        *out = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factoryqueryinterface(&factory, iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    // Stays loaded for the whole process, as activeds.dll does.
    return S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        trace("attach");
        hookimports();
    } else if (reason == DLL_PROCESS_DETACH) {
        report();
    }
    return TRUE;
}
