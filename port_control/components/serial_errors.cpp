#include "components/serial_errors.h"

#include <cerrno>
#include <utility>

namespace port_control {

std::u16string_view serialErrorDescription(int32_t number) {
    using namespace serial_errors;
    switch (number) {
        case kTooManyFiles:
            return u"ファイルが多すぎます。";
        case kDeviceUnavailable:
            return u"デバイスが準備されていません。";
        case kPermissionDenied:
            return u"書き込みできません。";
        case kInvalidPropertyValue:
            return u"プロパティの値が不正です。";
        case kPortOpened:
            return u"ポートが開いているときは操作できません。";
        case kInvalidPortNumber:
            return u"ポート番号が不正です。";
        case kPortAlreadyOpen:
            return u"ポートは既に開かれています。";
        case kHardwareLocked:
            return u"ハードウェアを使用できません (他のデバイスによってロックされています)。";
        case kDeviceNotOpen:
            return u"デバイスが開かれていません。";
        case kCommStateFailed:
            return u"通信状態を設定できませんでした。";
        case kPortNotOpen:
            return u"ポートが開いていないと操作できません。";
        case kDeviceBusy:
            return u"デバイスは使用中です。";
        default:
            return {};
    }
}

platform::Error serialError(int32_t number) {
    return platform::Error(number, std::u16string(serialErrorDescription(number)));
}

platform::Error serialError(int32_t number, std::u16string_view detail) {
    std::u16string description(serialErrorDescription(number));
    description += u" (";
    description += detail;
    description += u")";
    return platform::Error(number, std::move(description));
}

platform::Error serialErrorFromErrno(int err, SerialOperation operation) {
    using namespace serial_errors;
    // Out of descriptors is no fault of the device, whatever was being done: the port works
    // once the program or the system closes some.
    if (err == EMFILE || err == ENFILE)
        return serialError(kTooManyFiles);
    switch (operation) {
        case SerialOperation::Open:
            switch (err) {
                case EACCES:
                case EPERM:
                case EROFS:
                    return serialError(kPermissionDenied);
                case EBUSY:
                    return serialError(kDeviceBusy);
                // Missing nodes, absent hardware and files that are no terminal all mean
                // that there is no serial device behind the port number.
                default:
                    return serialError(kDeviceUnavailable);
            }
        case SerialOperation::Lock:
            return serialError(err == EBUSY ? kDeviceBusy : kHardwareLocked);
        case SerialOperation::Configure:
            return serialError(kCommStateFailed);
        case SerialOperation::Write:
            return serialError(kDeviceNotOpen);
    }
    return serialError(kCommStateFailed);
}

}  // namespace port_control
