#include "platform/error.h"

#include <new>
#include <utility>

namespace platform {

namespace {

constexpr HRESULT kControlFacilityBase = static_cast<HRESULT>(0x800A0000);
constexpr int32_t kLargestRuntimeNumber = 0xFFFF;

struct StandardText {
    int32_t number;
    const char16_t* text;
};

// The runtime's own texts, in its Japanese wording.
constexpr StandardText kStandardTexts[] = {
    {errors::kInvalidProcedureCall, u"プロシージャの呼び出し、または引数が不正です。"},
    {errors::kOverflow, u"オーバーフローしました。"},
    {errors::kOutOfMemory, u"メモリが不足しています。"},
    {errors::kSubscriptOutOfRange, u"インデックスが有効範囲にありません。"},
    {errors::kDivisionByZero, u"0 で除算しました。"},
    {errors::kTypeMismatch, u"型が一致しません。"},
    {errors::kBadFileNameOrNumber, u"ファイル名または番号が不正です。"},
    {errors::kFileNotFound, u"ファイルが見つかりません。"},
    {errors::kDeviceIoError, u"デバイス I/O エラーです。"},
    {errors::kDiskFull, u"ディスクの空き容量が不足しています。"},
    {errors::kTooManyFiles, u"ファイルが多すぎます。"},
    {errors::kDeviceUnavailable, u"デバイスが準備されていません。"},
    {errors::kPermissionDenied, u"書き込みできません。"},
    {errors::kPathFileAccessError, u"パス名が無効です。"},
    {errors::kPathNotFound, u"パスが見つかりません。"},
    {errors::kObjectVariableNotSet, u"オブジェクト変数が設定されていません。"},
    {errors::kInvalidUseOfNull, u"Null の使い方が不正です。"},
    {errors::kInvalidPropertyValue, u"プロパティの値が不正です。"},
    {errors::kPropertyReadOnly, u"プロパティは読み取り専用です。"},
    {errors::kObjectRequired, u"オブジェクトが必要です。"},
    {errors::kCannotCreateObject, u"コンポーネントはオブジェクトを作成できません。"},
    {errors::kNoAutomationSupport, u"クラスはオートメーションをサポートしていません。"},
    {errors::kNoSuchMember,
     u"オブジェクトは、このプロパティまたはメソッドをサポートしていません。"},
    {errors::kAutomationError, u"オートメーション エラーです。"},
    {errors::kActionNotSupported, u"オブジェクトはこの操作をサポートしていません。"},
    {errors::kNamedArgumentNotFound, u"名前付き引数が見つかりません。"},
    {errors::kWrongArgumentCount,
     u"引数の数が一致していません。または不正なプロパティを指定しています。"},
    {errors::kUnsupportedAutomationType,
     u"変数はサポートされていないオートメーション型を使用しています。"},
};

constexpr const char16_t* kApplicationDefinedText =
    u"アプリケーション定義またはオブジェクト定義のエラーです。";

struct HresultNumber {
    HRESULT hr;
    int32_t number;
};

// HRESULTs outside the control facility that the runtime knows by a number of its own.
constexpr HresultNumber kHresultNumbers[] = {
    {E_OUTOFMEMORY, errors::kOutOfMemory},
    {E_INVALIDARG, errors::kInvalidProcedureCall},
    {E_ACCESSDENIED, errors::kPermissionDenied},
    {E_NOINTERFACE, errors::kNoAutomationSupport},
    {E_NOTIMPL, errors::kActionNotSupported},
    {DISP_E_OVERFLOW, errors::kOverflow},
    {DISP_E_TYPEMISMATCH, errors::kTypeMismatch},
    {DISP_E_BADINDEX, errors::kSubscriptOutOfRange},
    {DISP_E_MEMBERNOTFOUND, errors::kNoSuchMember},
    {DISP_E_UNKNOWNNAME, errors::kNoSuchMember},
    {DISP_E_PARAMNOTFOUND, errors::kNamedArgumentNotFound},
    {DISP_E_BADPARAMCOUNT, errors::kWrongArgumentCount},
    {DISP_E_BADVARTYPE, errors::kUnsupportedAutomationType},
    {REGDB_E_CLASSNOTREG, errors::kCannotCreateObject},
    {CLASS_E_CLASSNOTAVAILABLE, errors::kCannotCreateObject},
    {CO_E_DLLNOTFOUND, errors::kCannotCreateObject},
    {CO_E_ERRORINDLL, errors::kCannotCreateObject},
};

thread_local std::optional<ErrorInfo> t_errorInfo;

}  // namespace

Error::Error(int32_t number, std::u16string description)
    : m_number(number),
      m_description(description.empty() ? standardDescription(number) : std::move(description)),
      m_utf8(toUtf8(m_description)) {}

Error::Error(int32_t number) : Error(number, standardDescription(number)) {}

const char* Error::what() const noexcept {
    return m_utf8.c_str();
}

std::u16string standardDescription(int32_t number) {
    for (const auto& entry : kStandardTexts) {
        if (entry.number == number)
            return entry.text;
    }
    return kApplicationDefinedText;
}

HRESULT hresultFromNumber(int32_t number) {
    if (number < 0)
        return number;
    if (number == errors::kOutOfMemory)
        return E_OUTOFMEMORY;
    if (number == 0 || number > kLargestRuntimeNumber)
        number = errors::kAutomationError;
    return kControlFacilityBase | number;
}

int32_t numberFromHresult(HRESULT hr) {
    if (succeeded(hr))
        return 0;
    if ((hr & static_cast<HRESULT>(0xFFFF0000)) == kControlFacilityBase) {
        const int32_t number = hr & kLargestRuntimeNumber;
        return number == 0 ? errors::kAutomationError : number;
    }
    for (const auto& entry : kHresultNumbers) {
        if (entry.hr == hr)
            return entry.number;
    }
    return errors::kAutomationError;
}

void setErrorInfo(ErrorInfo info) {
    t_errorInfo = std::move(info);
}

void clearErrorInfo() {
    t_errorInfo.reset();
}

std::optional<ErrorInfo> takeErrorInfo() {
    return std::exchange(t_errorInfo, std::nullopt);
}

HRESULT reportError(const Error& error, std::u16string source) {
    setErrorInfo({error.number(), error.description(), std::move(source)});
    return hresultFromNumber(error.number());
}

HRESULT reportCurrentException(std::u16string source) {
    try {
        throw;
    } catch (const Error& error) {
        return reportError(error, std::move(source));
    } catch (const std::bad_alloc&) {
        return reportError(Error(errors::kOutOfMemory), std::move(source));
    } catch (...) {
        return reportError(Error(errors::kAutomationError), std::move(source));
    }
}

void throwFromHresult(HRESULT hr) {
    const HRESULT failure = failed(hr) ? hr : E_UNEXPECTED;
    std::optional<ErrorInfo> info = takeErrorInfo();
    if (info && info->number != 0)
        throw Error(info->number, std::move(info->description));
    if (info)
        throw Error(numberFromHresult(failure), std::move(info->description));
    throw Error(numberFromHresult(failure));
}

}  // namespace platform
