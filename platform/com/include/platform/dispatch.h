// Late binding: IDispatch, its argument and exception records, and the caller's helpers.
//
// A caller names a member by DISPID (GetIDsOfNames maps names to DISPIDs, without regard
// to case) and says how it is called (method, property get, put). Arguments travel in
// reverse order, as the platform passes them; a property put carries its value as the one
// named argument DISPID_PROPERTYPUT. A failure inside the object comes back as
// DISP_E_EXCEPTION with the error number and description in ExcepInfo (and in the
// thread's error info); the helpers below turn it back into the same platform::Error.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/ref_counted.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace platform {

// {00020400-0000-0000-C000-000000000046}
constexpr Guid IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Invoke flags; a caller may combine METHOD and PROPERTYGET ("whichever it is").
constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
constexpr uint16_t DISPATCH_PROPERTYPUTREF = 8;

constexpr int32_t DISPID_UNKNOWN = -1;
constexpr int32_t DISPID_PROPERTYPUT = -3;

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT DispParams {
    // Reverse order: args.back() is the first argument. Named arguments come first.
    std::vector<Variant> args;
    // DISPIDs of the named arguments args[0 .. namedArgs.size()-1].
    std::vector<int32_t> namedArgs;

    // Positional arguments given in their natural order.
    static DispParams positional(std::vector<Variant> inOrder);
    // The value of a property put, as the one named argument DISPID_PROPERTYPUT.
    static DispParams propertyPut(Variant value);
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ExcepInfo {
    int32_t number = 0;    // the runtime error number
    HRESULT scode = S_OK;  // hresultFromNumber(number)
    std::u16string source;
    std::u16string description;
};

class CORVANE_PLATFORM_EXPORT IDispatch : public IUnknown {
  public:
    // DISPIDs for a member name and, after it, names of its parameters. Unknown names get
    // DISPID_UNKNOWN and the call returns DISP_E_UNKNOWNNAME; the known ones are still set.
    virtual HRESULT GetIDsOfNames(const char16_t* const* names, unsigned count,
                                  int32_t* dispids) = 0;
    // `result` may be null when the caller wants no value; `excepInfo` is filled on
    // DISP_E_EXCEPTION; `argError` receives the index (into params.args) of an argument
    // that could not be converted (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW).
    virtual HRESULT Invoke(int32_t dispid, uint16_t flags, DispParams& params, Variant* result,
                           ExcepInfo* excepInfo, unsigned* argError) = 0;

  protected:
    ~IDispatch() = default;
};

template <>
struct InterfaceIds<IDispatch> {
    static constexpr Guid value[] = {IID_IDispatch};
};

// The record an object fills for `error` (scode = hresultFromNumber(number)).
CORVANE_PLATFORM_EXPORT ExcepInfo excepInfoFromError(const Error& error,
                                                     std::u16string source = {});

// Turns a failed Invoke back into the platform::Error it stands for: DISP_E_EXCEPTION by
// the number and description of `excepInfo`, anything else as throwFromHresult does
// (DISP_E_MEMBERNOTFOUND -> 438, DISP_E_TYPEMISMATCH -> 13 ...). Clears the thread's
// error info either way.
[[noreturn]] CORVANE_PLATFORM_EXPORT void throwFromInvoke(HRESULT hr, const ExcepInfo& excepInfo);

// Late-bound calls for hosts. Each throws platform::Error on failure; none keeps a
// reference to `object`.
CORVANE_PLATFORM_EXPORT int32_t dispidOfName(IDispatch* object, std::u16string_view name);
CORVANE_PLATFORM_EXPORT Variant getProperty(IDispatch* object, int32_t dispid);
CORVANE_PLATFORM_EXPORT void putProperty(IDispatch* object, int32_t dispid, Variant value);
CORVANE_PLATFORM_EXPORT Variant invokeMethod(IDispatch* object, int32_t dispid,
                                             std::vector<Variant> argsInOrder = {});

}  // namespace platform
