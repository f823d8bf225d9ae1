#include "platform/dispatch_table.h"

#include <optional>

#include "current_error.h"

namespace platform {

namespace {

struct Resolved {
    HRESULT status = S_OK;
    std::size_t member = 0;
};

// The member a call with these flags means. A caller may combine METHOD and PROPERTYGET
// when it does not know which one the name is; a put never combines with either.
Resolved resolve(const InterfaceDescription& description, int32_t dispid, uint16_t flags) {
    constexpr uint16_t kReads = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    constexpr uint16_t kWrites = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
    if ((flags & (kReads | kWrites)) == 0 || (flags & ~(kReads | kWrites)) != 0 ||
        ((flags & kReads) && (flags & kWrites))) {
        return {E_INVALIDARG};
    }
    for (MemberKind kind : {MemberKind::Method, MemberKind::PropertyGet, MemberKind::PropertyPut,
                            MemberKind::PropertyPutRef}) {
        if (!(flags & static_cast<uint16_t>(kind)))
            continue;
        if (auto member = description.findMember(dispid, kind))
            return {S_OK, *member};
    }
    return {DISP_E_MEMBERNOTFOUND};
}

HRESULT failWithoutException(HRESULT status) {
    clearErrorInfo();
    return status;
}

HRESULT failWithException(const Error& error, std::u16string_view source, ExcepInfo* excepInfo) {
    if (excepInfo)
        *excepInfo = excepInfoFromError(error, std::u16string(source));
    reportError(error, std::u16string(source));
    return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT getIDsOfNamesFrom(const InterfaceDescription& description, const char16_t* const* names,
                          unsigned count, int32_t* dispids) {
    if (!names || !dispids)
        return E_POINTER;
    if (count == 0)
        return E_INVALIDARG;
    HRESULT status = S_OK;
    std::optional<int32_t> dispid;
    if (names[0])
        dispid = description.findDispid(names[0]);
    dispids[0] = dispid.value_or(DISPID_UNKNOWN);
    if (!dispid)
        status = DISP_E_UNKNOWNNAME;
    // Parameters carry no names, so no parameter name is ever known.
    for (unsigned i = 1; i < count; ++i) {
        dispids[i] = DISPID_UNKNOWN;
        status = DISP_E_UNKNOWNNAME;
    }
    return status;
}

HRESULT invokeFrom(const InterfaceDescription& description, std::u16string_view source,
                   InvokeTarget& target, int32_t dispid, uint16_t flags, DispParams& params,
                   Variant* result, ExcepInfo* excepInfo, unsigned* argError) {
    const Resolved resolved = resolve(description, dispid, flags);
    if (failed(resolved.status))
        return failWithoutException(resolved.status);
    if (!target.hasAccessor(resolved.member))
        return failWithoutException(DISP_E_MEMBERNOTFOUND);
    const MemberDescription& member = description.members[resolved.member];

    // Named arguments lead params.args; the only name we know is the value of a put.
    const bool isPut =
        member.kind == MemberKind::PropertyPut || member.kind == MemberKind::PropertyPutRef;
    if (params.namedArgs.size() > params.args.size())
        return failWithoutException(E_INVALIDARG);
    for (std::size_t i = 0; i < params.namedArgs.size(); ++i) {
        if (!(isPut && i == 0 && params.namedArgs[i] == DISPID_PROPERTYPUT)) {
            if (argError)
                *argError = static_cast<unsigned>(i);
            return failWithoutException(DISP_E_PARAMNOTFOUND);
        }
    }
    const std::size_t count = member.params.size();
    if (params.args.size() != count)
        return failWithoutException(DISP_E_BADPARAMCOUNT);

    std::vector<Variant> converted;
    converted.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t position = count - 1 - i;  // params.args runs backwards
        const Variant& given = params.args[position];
        try {
            converted.push_back(
                member.params[i] == kVarTypeVariant ? given : convert(given, member.params[i]));
        } catch (const Error& error) {
            if (argError)
                *argError = static_cast<unsigned>(position);
            return failWithoutException(error.number() == errors::kOverflow ? DISP_E_OVERFLOW
                                                                            : DISP_E_TYPEMISMATCH);
        }
    }

    Variant value;
    try {
        target.call(resolved.member, converted, value);
        if (member.result != kVarTypeVoid && member.result != kVarTypeVariant) {
            value = convert(value, member.result);
        }
    } catch (...) {
        return failWithException(currentError(), source, excepInfo);
    }
    if (result && member.result != kVarTypeVoid)
        *result = std::move(value);
    return S_OK;
}

}  // namespace platform
