#include "components/socket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <string>

namespace port_control {

namespace {

struct Entry {
    int32_t number;
    const char16_t* description;
};

Entry entryFor(SocketFailure failure) {
    switch (failure) {
        case SocketFailure::OutOfMemory:
            return {7, u"メモリが不足しています。"};
        case SocketFailure::InvalidPropertyValue:
            return {380, u"プロパティの値が不正です。"};
        case SocketFailure::TcpUnsupported:
            return {40006,
                    u"接続状態に問題があります。このソケットは UDP 専用で、TCP は使えません。"};
        case SocketFailure::UnsupportedVariantType:
            return {40018, u"サポートされていないバリアント型です。"};
        case SocketFailure::InvalidOperation:
            return {40020, u"現在の状態では不正な処理です。"};
        case SocketFailure::ArgumentOutOfRange:
            return {40021, u"引数が範囲外です。"};
        case SocketFailure::PermissionDenied:
            return {10013, u"アクセスが拒否されました。"};
        case SocketFailure::TooManySockets:
            return {10024, u"開いているソケットが多すぎます。"};
        case SocketFailure::MessageTooLarge:
            return {10040, u"データグラムが大きすぎます。"};
        case SocketFailure::FamilyNotSupported:
            return {10047, u"このアドレス ファミリはサポートされていません。"};
        case SocketFailure::AddressInUse:
            return {10048, u"アドレスが使用されています。"};
        case SocketFailure::AddressNotAvailable:
            return {10049, u"要求されたアドレスは使用できません。"};
        case SocketFailure::NetworkDown:
            return {10050, u"ネットワークがダウンしています。"};
        case SocketFailure::NetworkUnreachable:
            return {10051, u"ネットワークに到達できません。"};
        case SocketFailure::ConnectionReset:
            return {10054, u"接続がリモート側でリセットされました。"};
        case SocketFailure::NoBufferSpace:
            return {10055, u"バッファ領域が不足しています。"};
        case SocketFailure::HostUnreachable:
            return {10065, u"ホストに到達できません。"};
        case SocketFailure::HostNotFound:
            return {11001, u"ホストが見つかりません。"};
        case SocketFailure::HostNotFoundTryAgain:
            return {11002, u"ホストが見つかりません。時間をおいて再試行してください。"};
    }
    return {kSocketSystemErrorNumber, u"ソケットの操作に失敗しました。"};
}

}  // namespace

platform::Error socketError(SocketFailure failure) {
    Entry entry = entryFor(failure);
    return platform::Error(entry.number, entry.description);
}

platform::Error socketErrorFromErrno(int err) {
    switch (err) {
        case ENOMEM:
            return socketError(SocketFailure::OutOfMemory);
        case EACCES:
        case EPERM:
            return socketError(SocketFailure::PermissionDenied);
        case EMFILE:
        case ENFILE:
            return socketError(SocketFailure::TooManySockets);
        case EMSGSIZE:
            return socketError(SocketFailure::MessageTooLarge);
        case EAFNOSUPPORT:
            return socketError(SocketFailure::FamilyNotSupported);
        case EADDRINUSE:
            return socketError(SocketFailure::AddressInUse);
        case EADDRNOTAVAIL:
            return socketError(SocketFailure::AddressNotAvailable);
        case ENETDOWN:
            return socketError(SocketFailure::NetworkDown);
        case ENETUNREACH:
            return socketError(SocketFailure::NetworkUnreachable);
        // A datagram socket learns of a closed remote port through ICMP, reported as a reset.
        case ECONNREFUSED:
        case ECONNRESET:
            return socketError(SocketFailure::ConnectionReset);
        case ENOBUFS:
        case EAGAIN:
            return socketError(SocketFailure::NoBufferSpace);
        case EHOSTUNREACH:
            return socketError(SocketFailure::HostUnreachable);
    }
    std::u16string text = u"ソケットの操作に失敗しました (errno ";
    for (char c : std::to_string(err))
        text += static_cast<char16_t>(c);
    text += u")。";
    return platform::Error(kSocketSystemErrorNumber, text);
}

platform::Error socketErrorFromResolver(int code, int err) {
    switch (code) {
        case EAI_AGAIN:
            return socketError(SocketFailure::HostNotFoundTryAgain);
        case EAI_MEMORY:
            return socketError(SocketFailure::OutOfMemory);
        case EAI_SYSTEM:
            return socketErrorFromErrno(err);
    }
    // EAI_NONAME, EAI_NODATA, EAI_FAIL, EAI_ADDRFAMILY ...: the name gives no usable address.
    return socketError(SocketFailure::HostNotFound);
}

}  // namespace port_control
