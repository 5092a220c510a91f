// The directory on Windows: the COM runtime and the Active Directory Service
// Interfaces, bound with the logged-on user's own credentials.
#include "directory/userdirectory.h"
#include "directory/myexception.h"
#include "directory/status.h"
#include "platform/adsi/adsiowners.h"
#include "platform/platform.h"

#include <windows.h>

#include <activeds.h>
#include <objbase.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

namespace adsi {
namespace {

const CLSID clsidadsysteminfo = {0x50B6327F, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};
const IID iidadsadsysteminfo = {0x5BB11929, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};
const IID iidads = {0xFD8256D0, 0xFD15, 0x11CE, {0xAB, 0xC4, 0x02, 0x60, 0x8C, 0x9E, 0x75, 0x53}};
const IID iidadsclass = {0xC8F93DD0, 0x4AE0, 0x11CF, {0x9E, 0x73, 0x00, 0xAA, 0x00, 0x4A, 0x56, 0x91}};
const HRESULT propertynotfound = static_cast<HRESULT>(0x8000500DL); // E_ADS_PROPERTY_NOT_FOUND

// The result of a call that hands out an interface: whatever it put in `out`
// is given up at once unless the result is S_OK, so that nothing obtained
// outlives COM.
template <typename T> HRESULT obtained(HRESULT result, comptr<T>& out)
{
    if (result != S_OK)
        out.reset();
    return result;
}

// Whether a failed call's result is the directory's answer about the object
// or the attribute asked for: the property has no value or isn't one the
// object supports, no such object or attribute, access denied, a value that
// can't be converted, a name list that is no list. Only such an answer lets
// the query go on past a failed step (ADSI's generic error codes and the
// LDAP results it maps into FACILITY_WIN32); any other result, from a
// directory that can't be reached or won't take the caller's credentials
// to a failure of COM itself, fails the run: "no address" is no answer.
bool isanswer(HRESULT result)
{
    switch (static_cast<std::uint32_t>(result)) {
    case 0x80005000: // E_ADS_BAD_PATHNAME
    case 0x80005004: // E_ADS_UNKNOWN_OBJECT
    case 0x80005005: // E_ADS_PROPERTY_NOT_SET
    case 0x80005006: // E_ADS_PROPERTY_NOT_SUPPORTED
    case 0x80005007: // E_ADS_PROPERTY_INVALID
    case 0x8000500C: // E_ADS_CANT_CONVERT_DATATYPE
    case 0x8000500D: // E_ADS_PROPERTY_NOT_FOUND
    case 0x8000500F: // E_ADS_SCHEMA_VIOLATION
    case 0x80004001: // E_NOTIMPL: the object has no such operation
    case 0x80020005: // DISP_E_TYPEMISMATCH: a name list of another shape
        return true;
    default:
        break;
    }
    if (HRESULT_FACILITY(result) != FACILITY_WIN32)
        return false;
    switch (HRESULT_CODE(result)) {
    case ERROR_ACCESS_DENIED:
    case ERROR_DS_INSUFF_ACCESS_RIGHTS:
    case ERROR_DS_NO_SUCH_OBJECT:
    case ERROR_DS_NO_ATTRIBUTE_OR_VALUE:
    case ERROR_DS_ATT_NOT_DEF_IN_SCHEMA:
    case ERROR_DS_OBJ_CLASS_NOT_DEFINED:
        return true;
    default:
        return false;
    }
}

// Only S_OK is success. A failed call is described by its result and the
// system's text for it; a result that is no error (S_FALSE) by the thread's
// last error as it stands. Only an answer about the object (isanswer) lets
// the query go on.
status checked(HRESULT result)
{
    if (result == S_OK)
        return status();
    if (!FAILED(result))
        return status::lasterror(true);
    return status::systemerror(static_cast<std::uint32_t>(result), !isanswer(result));
}

// Conversion flags for the ANSI code page: no "best fit". Best fit turns a
// character the code page lacks into a look-alike ("jörg" into "jorg" in
// code page 1251) without saying so, which would make another mailbox of an
// address; without it such a character becomes the default character, and
// the conversion says it did. A UTF-8 code page holds every character and
// takes neither the flag nor the question.
bool utf8codepage()
{
    return GetACP() == CP_UTF8;
}

// Where in the ANSI text of `wide` the default character stands in for a
// character the code page can't hold: each character is converted alone to
// learn how many bytes it takes and whether it was lost.
void findsubstitutes(const wchar_t* wide, std::vector<std::size_t>& substituted)
{
    std::size_t offset = 0;
    for (const wchar_t* at = wide; *at;) {
        const int units = IS_HIGH_SURROGATE(at[0]) && IS_LOW_SURROGATE(at[1]) ? 2 : 1;
        char bytes[8];
        BOOL lost = FALSE;
        const int length =
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, at, units, bytes, sizeof bytes, nullptr, &lost);
        if (lost)
            substituted.push_back(offset);
        offset += length > 0 ? length : 0;
        at += units;
    }
}

// Wide text to narrow text in the ANSI code page; a null string is "". The
// positions of characters the code page can't hold go to `substituted`.
std::string narrow(const wchar_t* wide, std::vector<std::size_t>* substituted = nullptr)
{
    if (!wide)
        return std::string();
    const bool utf8 = utf8codepage();
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int size = WideCharToMultiByte(CP_ACP, flags, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 1, '\0');
    BOOL lost = FALSE;
    if (size <= 0 ||
        WideCharToMultiByte(CP_ACP, flags, wide, -1, &text[0], size, nullptr, utf8 ? nullptr : &lost) != size)
        throw myexception("unable to convert text (%s)", lasterrortext());
    text.resize(size - 1);
    if (lost && substituted)
        findsubstitutes(wide, *substituted);
    return text;
}

// The user query over ADSI. The system-info object gives the user's DN, the
// user object is bound at "LDAP://" followed by that DN exactly as given, and
// the schema class comes from the user object's schema path.
class directory : public userdirectory {
public:
    status start() override { return checked(CoInitialize(nullptr)); }
    void stop() override { CoUninitialize(); }

    status opensession() override
    {
        return checked(obtained(CoCreateInstance(clsidadsysteminfo, nullptr, CLSCTX_INPROC_SERVER, iidadsadsysteminfo,
                                                   systeminfo.put()),
                                  systeminfo));
    }
    void closesession() override { systeminfo.reset(); }

    status finduser(std::string& name) override
    {
        bstr dn;
        const status found = checked(systeminfo->get_UserName(dn.put()));
        if (!found.ok())
            return found;
        // The bind uses the name exactly as the directory gave it; the narrow
        // copy is only for the log and may have lost characters.
        userdn = dn.get() ? dn.get() : L"";
        name = narrow(userdn.c_str());
        return status();
    }

    status openuser() override
    {
        // ADSI reads "/" in a path as a separator: one inside the DN is
        // escaped, and nothing else is changed.
        std::wstring path = L"LDAP://";
        for (const wchar_t c : userdn)
            path += c == L'/' ? std::wstring(L"\\/") : std::wstring(1, c);
        return checked(obtained(
            ADsOpenObject(path.c_str(), nullptr, nullptr, ADS_SECURE_AUTHENTICATION, iidads, user.put()), user));
    }
    void closeuser() override
    {
        user.reset();
        schema.reset();
    }

    status objectname(std::string& name) override
    {
        bstr text;
        const status named = checked(user->get_Name(text.put()));
        if (named.ok())
            name = narrow(text.get());
        return named;
    }

    status schemapath(std::string& path) override
    {
        const status found = checked(user->get_Schema(schema.put()));
        if (found.ok())
            path = narrow(schema.get());
        return found;
    }

    status openclass() override
    {
        return checked(
            obtained(ADsGetObject(schema.get() ? schema.get() : L"", iidadsclass, schemaclass.put()), schemaclass));
    }
    void closeclass() override { schemaclass.reset(); }

    status openlist(listkind kind, std::size_t& count) override
    {
        list.emplace();
        VARIANT* names = list->names.put();
        const status listed = checked(kind == listkind::mandatory ? schemaclass->get_MandatoryProperties(names)
                                                                  : schemaclass->get_OptionalProperties(names));
        if (!listed.ok()) {
            list.reset();
            return listed;
        }
        const VARIANT& value = list->names.get();
        // A class with a single name gives it as a plain string, not an array.
        if (value.vt == VT_BSTR) {
            count = 1;
            return status();
        }
        // Any shape but a one-dimensional array of VARIANTs (or, as some
        // providers give them, of BSTRs) is no list to walk.
        SAFEARRAY* array =
            value.vt == (VT_ARRAY | VT_VARIANT) || value.vt == (VT_ARRAY | VT_BSTR) ? value.parray : nullptr;
        if (!array || SafeArrayGetDim(array) != 1) {
            list.reset();
            return checked(DISP_E_TYPEMISMATCH);
        }
        const status accessed = checked(list->access.begin(array));
        if (!accessed.ok()) {
            list.reset();
            return accessed;
        }
        count = array->rgsabound[0].cElements;
        return status();
    }
    void closelist() override { list.reset(); }

    bool attributename(std::size_t index, std::string& name) override
    {
        BSTR element = list->element(index);
        if (!element && list->names.get().vt != VT_BSTR)
            return false;
        name = narrow(element);
        return true;
    }

    readresult readattribute(std::size_t index, attributevalue& value, status& why) override
    {
        variant data;
        HRESULT result = user->Get(list->element(index), data.put());
        if (result == propertynotfound)
            return readresult::notfound;
        why = checked(result);
        if (!why.ok())
            return readresult::failed;
        value.isstring = data.get().vt == VT_BSTR;
        if (value.isstring)
            value.text = narrow(data.get().bstrVal, &value.substituted);
        return readresult::ok;
    }

private:
    // An open name list. The access ends before the VARIANT is cleared (the
    // members go in reverse order), so that clearing it can destroy the array.
    struct namelist {
        variant names;
        arrayaccess access;

        // The name at `index`; null when that element holds no string.
        BSTR element(std::size_t index) const
        {
            if (names.get().vt == VT_BSTR)
                return names.get().bstrVal;
            if (names.get().vt == (VT_ARRAY | VT_BSTR)) {
                const BSTR* elements = access.elements<BSTR>();
                return elements ? elements[index] : nullptr;
            }
            const VARIANT* elements = access.elements<VARIANT>();
            return elements && elements[index].vt == VT_BSTR ? elements[index].bstrVal : nullptr;
        }
    };

    comptr<IADsADSystemInfo> systeminfo;
    std::wstring userdn;
    comptr<IADs> user;
    bstr schema;
    comptr<IADsClass> schemaclass;
    std::optional<namelist> list;
};

} // namespace
} // namespace adsi

std::unique_ptr<userdirectory> makedirectory()
{
    return std::make_unique<adsi::directory>();
}
