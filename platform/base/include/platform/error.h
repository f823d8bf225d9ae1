// The platform's error model.
//
// Inside a component every failure is an `Error`: a Basic-style error number and a
// description (16-bit text, Japanese like the rest of the platform). At a component
// boundary it becomes an HRESULT plus the thread's error info; a late-bound caller
// turns the pair back into the same `Error`. No exception crosses a module boundary.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "platform/utf8.h"  // descriptions come and go as UTF-8

namespace platform {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT REGDB_E_WRITEREGDB = static_cast<HRESULT>(0x80040151);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);

constexpr bool succeeded(HRESULT hr) {
    return hr >= 0;
}
constexpr bool failed(HRESULT hr) {
    return hr < 0;
}

// Runtime error numbers used across the platform (descriptions in error.cpp).
// Component-specific numbers (8000s, 40000s ...) belong to their components' own tables.
namespace errors {
constexpr int32_t kInvalidProcedureCall = 5;
constexpr int32_t kOverflow = 6;
constexpr int32_t kOutOfMemory = 7;
constexpr int32_t kSubscriptOutOfRange = 9;
constexpr int32_t kDivisionByZero = 11;
constexpr int32_t kTypeMismatch = 13;
constexpr int32_t kBadFileNameOrNumber = 52;
constexpr int32_t kFileNotFound = 53;
constexpr int32_t kDeviceIoError = 57;
constexpr int32_t kDiskFull = 61;
constexpr int32_t kTooManyFiles = 67;  // the process or the system has no descriptor left
constexpr int32_t kDeviceUnavailable = 68;
constexpr int32_t kPermissionDenied = 70;
constexpr int32_t kPathFileAccessError = 75;
constexpr int32_t kPathNotFound = 76;
constexpr int32_t kObjectVariableNotSet = 91;
constexpr int32_t kInvalidUseOfNull = 94;
constexpr int32_t kInvalidPropertyValue = 380;
constexpr int32_t kPropertyReadOnly = 383;
constexpr int32_t kObjectRequired = 424;
constexpr int32_t kCannotCreateObject = 429;
constexpr int32_t kNoAutomationSupport = 430;
constexpr int32_t kNoSuchMember = 438;
constexpr int32_t kAutomationError = 440;
constexpr int32_t kActionNotSupported = 445;
constexpr int32_t kNamedArgumentNotFound = 448;
constexpr int32_t kWrongArgumentCount = 450;
constexpr int32_t kUnsupportedAutomationType = 458;
}  // namespace errors

// A failure with a number and a description. `what()` gives the description in UTF-8.
// An empty description is replaced by the standard text for the number.
//
// Frozen: programs built against this header throw, copy and catch it themselves, so its
// size and members are part of the library's ABI; changing them needs a new SONAME.
// `what()` is defined in the library, which so holds the one type identity every module
// catches it by.
class CORVANE_PLATFORM_EXPORT Error : public std::exception {
  public:
    Error(int32_t number, std::u16string description);
    // The description is the platform's standard text for `number`.
    explicit Error(int32_t number);

    int32_t number() const noexcept { return m_number; }
    const std::u16string& description() const noexcept { return m_description; }
    const char* what() const noexcept override;

  private:
    int32_t m_number;
    std::u16string m_description;
    std::string m_utf8;
};

// The platform's standard description of a runtime error number (Japanese), or a
// generic "application-defined error" text for numbers it does not know.
CORVANE_PLATFORM_EXPORT std::u16string standardDescription(int32_t number);

// Runtime error numbers live in the control facility: 0x800A0000 + number (1..65535),
// except 7, which is E_OUTOFMEMORY both ways. A negative number already is an HRESULT
// (an object-defined error) and is returned as is; 0 and numbers above 65535 give the
// HRESULT of 440. Other HRESULTs map to their own runtime numbers (E_OUTOFMEMORY -> 7,
// DISP_E_OVERFLOW -> 6, DISP_E_TYPEMISMATCH -> 13, E_INVALIDARG -> 5, E_ACCESSDENIED ->
// 70, DISP_E_BADINDEX -> 9, DISP_E_MEMBERNOTFOUND / DISP_E_UNKNOWNNAME -> 438,
// E_NOINTERFACE -> 430, E_NOTIMPL -> 445, DISP_E_PARAMNOTFOUND -> 448,
// DISP_E_BADPARAMCOUNT -> 450, DISP_E_BADVARTYPE -> 458, class-not-registered and
// module-loading failures -> 429), anything else to 440 (automation error). A success
// code gives 0.
CORVANE_PLATFORM_EXPORT HRESULT hresultFromNumber(int32_t number);
CORVANE_PLATFORM_EXPORT int32_t numberFromHresult(HRESULT hr);

// The last failure on this thread, as the component boundary leaves it for a caller.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ErrorInfo {
    int32_t number = 0;
    std::u16string description;
    std::u16string source;
};
CORVANE_PLATFORM_EXPORT void setErrorInfo(ErrorInfo info);
CORVANE_PLATFORM_EXPORT void clearErrorInfo();
// Returns and clears the thread's error info.
CORVANE_PLATFORM_EXPORT std::optional<ErrorInfo> takeErrorInfo();

// Records `error` as the thread's error info and returns its HRESULT.
CORVANE_PLATFORM_EXPORT HRESULT reportError(const Error& error, std::u16string source = {});
// For a `catch (...)` at a component boundary: reports the exception being handled
// (an Error as is, std::bad_alloc as 7, anything else as 440) and returns its HRESULT.
CORVANE_PLATFORM_EXPORT HRESULT reportCurrentException(std::u16string source = {});
// Turns a failed HRESULT (plus the thread's error info, if any) back into an Error and
// throws it. The error info is taken (cleared); its number and description win over the
// HRESULT's, an empty description falls back to the standard text. A success code
// passed by mistake throws 440.
[[noreturn]] CORVANE_PLATFORM_EXPORT void throwFromHresult(HRESULT hr);

}  // namespace platform
