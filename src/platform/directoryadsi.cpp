// The directory on Windows: the COM runtime and the Active Directory Service
// Interfaces, bound with the logged-on user's own credentials.
#include "directory/mydirectory.h"
#include "frontend/myexception.h"
#include "platform/platform.h"

#include <windows.h>

#include <activeds.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

namespace {

const CLSID clsidadsysteminfo = {0x50B6327F, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};
const IID iidadsadsysteminfo = {0x5BB11929, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};
const IID iidads = {0xFD8256D0, 0xFD15, 0x11CE, {0xAB, 0xC4, 0x02, 0x60, 0x8C, 0x9E, 0x75, 0x53}};
const IID iidadsclass = {0xC8F93DD0, 0x4AE0, 0x11CF, {0x9E, 0x73, 0x00, 0xAA, 0x00, 0x4A, 0x56, 0x91}};
const HRESULT propertynotfound = static_cast<HRESULT>(0x8000500DL); // E_ADS_PROPERTY_NOT_FOUND

// Only S_OK is success. A failed call leaves its result as the thread's last
// error, so the message raised for it names what went wrong; a result that is
// no error (S_FALSE) leaves the last error as it was.
bool succeeded(HRESULT result)
{
    if (FAILED(result))
        platform::setlasterror(static_cast<std::uint32_t>(result));
    return result == S_OK;
}

// Wide text to narrow text in the ANSI code page; a null string is "".
std::string narrow(const wchar_t* wide)
{
    if (!wide)
        return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 1, '\0');
    if (size <= 0 || WideCharToMultiByte(CP_ACP, 0, wide, -1, &text[0], size, nullptr, nullptr) != size)
        throw myexception("unable to convert text (%s)", lasterrortext());
    text.resize(size - 1);
    return text;
}

template <typename T> void release(T*& object)
{
    if (object)
        object->Release();
    object = nullptr;
}

class myadsidirectory : public mydirectory {
public:
    ~myadsidirectory() override { closelist(); }

    bool initialize() override { return succeeded(CoInitialize(nullptr)); }
    void uninitialize() override { CoUninitialize(); }

    bool createsysteminfo() override
    {
        return succeeded(CoCreateInstance(clsidadsysteminfo, nullptr, CLSCTX_INPROC_SERVER, iidadsadsysteminfo,
                                          reinterpret_cast<void**>(&systeminfo)));
    }
    void releasesysteminfo() override { release(systeminfo); }

    bool username(std::string& name) override
    {
        BSTR dn = nullptr;
        if (!succeeded(systeminfo->get_UserName(&dn))) {
            SysFreeString(dn);
            return false;
        }
        // The bind uses the name exactly as the directory gave it; the narrow
        // copy is only for the log and may have lost characters.
        userdn = dn ? dn : L"";
        SysFreeString(dn);
        name = narrow(userdn.c_str());
        return true;
    }

    bool bind() override
    {
        const std::wstring path = L"LDAP://" + userdn;
        return succeeded(ADsOpenObject(path.c_str(), nullptr, nullptr, ADS_SECURE_AUTHENTICATION, iidads,
                                       reinterpret_cast<void**>(&user)));
    }
    void releaseuser() override
    {
        release(user);
        SysFreeString(schema);
        schema = nullptr;
    }

    bool objectname(std::string& name) override
    {
        BSTR text = nullptr;
        bool ok = succeeded(user->get_Name(&text));
        if (ok)
            name = narrow(text);
        SysFreeString(text);
        return ok;
    }

    bool schemapath(std::string& path) override
    {
        SysFreeString(schema);
        schema = nullptr;
        if (!succeeded(user->get_Schema(&schema)))
            return false;
        path = narrow(schema);
        return true;
    }

    bool openclass() override
    {
        return succeeded(ADsGetObject(schema ? schema : L"", iidadsclass, reinterpret_cast<void**>(&schemaclass)));
    }
    void releaseclass() override { release(schemaclass); }

    bool namelist(listkind kind, std::size_t& count) override
    {
        closelist();
        HRESULT result = kind == listkind::mandatory ? schemaclass->get_MandatoryProperties(&list)
                                                     : schemaclass->get_OptionalProperties(&list);
        if (!succeeded(result)) {
            VariantClear(&list);
            return false;
        }
        // A class with a single name gives it as a plain string, not an array.
        if (list.vt == VT_BSTR) {
            count = 1;
            return true;
        }
        SAFEARRAY* array = list.vt == (VT_ARRAY | VT_VARIANT) ? list.parray : nullptr;
        if (!array || SafeArrayGetDim(array) != 1 ||
            !succeeded(SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
            // Any other shape is no list we can walk.
            VariantClear(&list);
            elements = nullptr;
            return false;
        }
        count = array->rgsabound[0].cElements;
        return true;
    }

    bool listname(std::size_t index, std::string& name) override
    {
        BSTR element = elementname(index);
        if (!element && list.vt != VT_BSTR)
            return false;
        name = narrow(element);
        return true;
    }

    readresult get(std::size_t index, myvalue& value) override
    {
        VARIANT data;
        VariantInit(&data);
        BSTR element = elementname(index);
        HRESULT result = user->Get(element, &data);
        if (result == propertynotfound)
            return readresult::notfound;
        if (!succeeded(result)) {
            VariantClear(&data);
            return readresult::failed;
        }
        value.isstring = data.vt == VT_BSTR;
        try {
            if (value.isstring)
                value.text = narrow(data.bstrVal);
        } catch (...) {
            VariantClear(&data);
            throw;
        }
        VariantClear(&data);
        return readresult::ok;
    }

    void releasenamelist() override { closelist(); }

private:
    BSTR elementname(std::size_t index)
    {
        if (list.vt == VT_BSTR)
            return list.bstrVal;
        return elements && elements[index].vt == VT_BSTR ? elements[index].bstrVal : nullptr;
    }

    void closelist()
    {
        if (elements) {
            SAFEARRAY* array = list.parray;
            SafeArrayUnaccessData(array);
            SafeArrayDestroy(array);
            elements = nullptr;
            list.vt = VT_EMPTY;
            list.parray = nullptr;
        }
        VariantClear(&list);
    }

    IADsADSystemInfo* systeminfo = nullptr;
    std::wstring userdn;
    IADs* user = nullptr;
    BSTR schema = nullptr;
    IADsClass* schemaclass = nullptr;
    VARIANT list{};       // the open name list
    VARIANT* elements = nullptr; // its elements, while accessed
};

} // namespace

std::unique_ptr<mydirectory> makedirectory()
{
    return std::make_unique<myadsidirectory>();
}
