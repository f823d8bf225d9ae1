// Implementing interfaces: a reference count and QueryInterface driven by the list of
// interfaces an object implements, plus a typed QueryInterface for callers.
//
// Every interface extends exactly one other (single inheritance down to IUnknown), so an
// interface and the interfaces it extends share one address; `InterfaceIds<I>` lists the
// IIDs that I answers for. Objects start with one reference, which `makeObject` hands to
// its caller; the last Release deletes the object.
#pragma once

#include "platform/language_standard.h"

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/unknown.h"

namespace platform {

// The IIDs under which QueryInterface hands out `Interface`: its own first, then those of
// the interfaces it extends (IUnknown excepted: every object answers it). Each interface
// header declares its entry next to the interface.
template <class Interface>
struct InterfaceIds;

template <>
struct InterfaceIds<IUnknown> {
    static constexpr Guid value[] = {IID_IUnknown};
};

template <>
struct InterfaceIds<IClassFactory> {
    static constexpr Guid value[] = {IID_IClassFactory};
};

template <class First, class... Rest>
class RefCounted : public First, public Rest... {
  public:
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    HRESULT QueryInterface(const Guid& iid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        void* found = iid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this))
                                          : findInterface<First, Rest...>(iid);
        if (!found)
            found = queryOtherInterface(iid);
        if (!found)
            return E_NOINTERFACE;
        AddRef();
        *object = found;
        return S_OK;
    }
    uint32_t AddRef() override { return ++m_references; }
    uint32_t Release() override {
        const uint32_t left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

    // For tests and diagnostics.
    uint32_t referenceCount() const { return m_references; }

  protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;

    // For IIDs known only at run time (an event sink answering the interface it was made
    // for): the interface pointer to hand out, or nullptr. Not reference counted here.
    virtual void* queryOtherInterface(const Guid& /*iid*/) { return nullptr; }

  private:
    template <class Interface, class... Others>
    void* findInterface(const Guid& iid) {
        for (const Guid& answered : InterfaceIds<Interface>::value) {
            if (answered == iid)
                return static_cast<Interface*>(this);
        }
        if constexpr (sizeof...(Others) > 0) {
            return findInterface<Others...>(iid);
        } else {
            return nullptr;
        }
    }

    std::atomic<uint32_t> m_references{1};
};

// Creates a reference-counted object and hands its first reference to the caller.
template <class T, class... Args>
ComPtr<T> makeObject(Args&&... args) {
    return ComPtr<T>::adopt(new T(std::forward<Args>(args)...));
}

// QueryInterface by type; an empty pointer when `object` is null or lacks the interface.
// `Source` is any interface or implementing class (the latter avoids casting to one of its
// several IUnknown bases first).
template <class Interface, class Source>
ComPtr<Interface> queryInterface(Source* object) {
    ComPtr<Interface> result;
    if (object)
        object->QueryInterface(InterfaceIds<Interface>::value[0], result.putVoid());
    return result;
}

template <class Interface, class Source>
ComPtr<Interface> queryInterface(const ComPtr<Source>& object) {
    return queryInterface<Interface>(object.get());
}

}  // namespace platform
