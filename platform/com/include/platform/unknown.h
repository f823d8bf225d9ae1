// Reference-counted interfaces of the component model.
//
// Interfaces are abstract classes with virtual functions (our "vtable" is the C++ one; all
// modules are built by one compiler). Every function returns an HRESULT and never lets an
// exception out.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>

#include "platform/error.h"
#include "platform/guid.h"

namespace platform {

// {00000000-0000-0000-C000-000000000046}
constexpr Guid IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {00000001-0000-0000-C000-000000000046}
constexpr Guid IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class CORVANE_PLATFORM_EXPORT IUnknown {
  public:
    virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

  protected:
    ~IUnknown() = default;
};

class CORVANE_PLATFORM_EXPORT IClassFactory : public IUnknown {
  public:
    virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) = 0;
    virtual HRESULT LockServer(bool lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// The four entry points a component library exports with C linkage.
using DllGetClassObjectFn = HRESULT (*)(const Guid* clsid, const Guid* iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

// Owning smart pointer: AddRef on copy, Release on destruction.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(T* p) : m_p(p) {  // takes a new reference
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    ~ComPtr() { reset(); }
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    // Adopts a pointer that already carries a reference (as QueryInterface returns it).
    static ComPtr adopt(T* p) {
        ComPtr c;
        c.m_p = p;
        return c;
    }
    void reset() {
        if (m_p) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out parameters: releases the current pointer and returns its address.
    T** put() {
        reset();
        return &m_p;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

  private:
    T* m_p = nullptr;
};

}  // namespace platform
