// Owners for what COM and OLE Automation hand out: each gives its resource
// up exactly once, on every path, when it goes out of scope.
#pragma once

#include <windows.h>

#include <oleauto.h>

namespace adsi {

// An interface pointer, released once.
template <typename T> class comptr {
public:
    comptr() = default;
    comptr(const comptr&) = delete;
    comptr& operator=(const comptr&) = delete;
    ~comptr() { reset(); }

    void reset()
    {
        if (pointer)
            pointer->Release();
        pointer = nullptr;
    }
    // For an out parameter: gives up what is held first.
    void** put()
    {
        reset();
        return reinterpret_cast<void**>(&pointer);
    }
    T* operator->() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

private:
    T* pointer = nullptr;
};

// A BSTR, freed once; null is the empty string.
class bstr {
public:
    bstr() = default;
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    ~bstr() { reset(); }

    void reset()
    {
        SysFreeString(text);
        text = nullptr;
    }
    BSTR* put()
    {
        reset();
        return &text;
    }
    BSTR get() const { return text; }

private:
    BSTR text = nullptr;
};

// A VARIANT, cleared once (which frees a string or an array it holds).
class variant {
public:
    variant() { VariantInit(&value); }
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    ~variant() { VariantClear(&value); }

    VARIANT* put()
    {
        VariantClear(&value);
        return &value;
    }
    const VARIANT& get() const { return value; }

private:
    VARIANT value;
};

// Direct access to a SAFEARRAY's data, ended once. Whether the array is
// locked is its own flag: an empty array may be accessed with a null data
// pointer, and must still be unaccessed before it can be destroyed.
class arrayaccess {
public:
    arrayaccess() = default;
    arrayaccess(const arrayaccess&) = delete;
    arrayaccess& operator=(const arrayaccess&) = delete;
    ~arrayaccess() { end(); }

    HRESULT begin(SAFEARRAY* target)
    {
        end();
        void* pointer = nullptr;
        HRESULT result = SafeArrayAccessData(target, &pointer);
        if (result == S_OK) {
            array = target;
            data = pointer;
        }
        return result;
    }
    void end()
    {
        if (array)
            SafeArrayUnaccessData(array);
        array = nullptr;
        data = nullptr;
    }
    template <typename T> T* elements() const { return static_cast<T*>(data); }

private:
    SAFEARRAY* array = nullptr; // non-null while accessed
    void* data = nullptr;
};

} // namespace adsi
