#include "platform/dispatch.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {

Variant invokeOrThrow(IDispatch* object, int32_t dispid, uint16_t flags, DispParams& params) {
    if (!object)
        throw Error(errors::kObjectVariableNotSet);
    Variant result;
    ExcepInfo excepInfo;
    unsigned argError = 0;
    // Stale error info from an earlier failure must not be taken for this call's.
    clearErrorInfo();
    const HRESULT hr = object->Invoke(dispid, flags, params, &result, &excepInfo, &argError);
    if (failed(hr))
        throwFromInvoke(hr, excepInfo);
    return result;
}

}  // namespace

DispParams DispParams::positional(std::vector<Variant> inOrder) {
    std::reverse(inOrder.begin(), inOrder.end());
    return DispParams{std::move(inOrder), {}};
}

DispParams DispParams::propertyPut(Variant value) {
    DispParams params;
    params.args.push_back(std::move(value));
    params.namedArgs.push_back(DISPID_PROPERTYPUT);
    return params;
}

ExcepInfo excepInfoFromError(const Error& error, std::u16string source) {
    return ExcepInfo{error.number(), hresultFromNumber(error.number()), std::move(source),
                     error.description()};
}

void throwFromInvoke(HRESULT hr, const ExcepInfo& excepInfo) {
    if (hr != DISP_E_EXCEPTION)
        throwFromHresult(hr);
    clearErrorInfo();
    // An object may fill only scode, as the platform allows; its number is then implied.
    const int32_t number =
        excepInfo.number != 0 ? excepInfo.number : numberFromHresult(excepInfo.scode);
    throw Error(number != 0 ? number : errors::kAutomationError, excepInfo.description);
}

int32_t dispidOfName(IDispatch* object, std::u16string_view name) {
    if (!object)
        throw Error(errors::kObjectVariableNotSet);
    const std::u16string terminated(name);
    const char16_t* names[] = {terminated.c_str()};
    int32_t dispid = DISPID_UNKNOWN;
    clearErrorInfo();
    const HRESULT hr = object->GetIDsOfNames(names, 1, &dispid);
    if (failed(hr))
        throwFromHresult(hr);
    return dispid;
}

Variant getProperty(IDispatch* object, int32_t dispid) {
    DispParams params;
    return invokeOrThrow(object, dispid, DISPATCH_PROPERTYGET, params);
}

void putProperty(IDispatch* object, int32_t dispid, Variant value) {
    DispParams params = DispParams::propertyPut(std::move(value));
    invokeOrThrow(object, dispid, DISPATCH_PROPERTYPUT, params);
}

Variant invokeMethod(IDispatch* object, int32_t dispid, std::vector<Variant> argsInOrder) {
    DispParams params = DispParams::positional(std::move(argsInOrder));
    return invokeOrThrow(object, dispid, DISPATCH_METHOD, params);
}

}  // namespace platform
