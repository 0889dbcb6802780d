#pragma once

// The little that the program's few COM calls share: COM for the length of one function, owning
// pointers to interfaces and strings.

#include <windows.h>

#include <oleauto.h>

#include <memory>
#include <string>

// COM on this thread for the calls of one function.
class CComScope {
public:
    CComScope() : m_result(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    ~CComScope() {
        if (SUCCEEDED(m_result)) {
            ::CoUninitialize();
        }
    }

private:
    HRESULT m_result;
};

struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ComRelease>;

struct BstrFree {
    void operator()(BSTR text) const { ::SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

inline Bstr MakeBstr(const std::wstring& text) {
    return Bstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}
