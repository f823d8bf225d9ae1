// IDispatch::Invoke on a live Portula over fake components (nothing touches a device or
// the network): random DISPIDs (mostly those of _Portula, some of the event interface and
// some arbitrary), flags, argument counts and values, named arguments and null out
// pointers, mixed with events from the components and an advised host sink that calls
// back into the control while it raises OnComm, and property bags loaded and saved. Every
// call returns one of the HRESULTs the Invoke engine documents with its records filled as
// documented, a failed call leaves the result as it was, a failed load or save leaves its
// error as the thread's error info, and the object goes away with every reference it took
// (the module count drops back to zero; leaks are the sanitizer's to find).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_variant.h"
#include "interface/portula_object.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/property_bag_file.h"
#include "port_control/support/fake_components.h"
#include "portula/portula_ids.h"
#include "work_folder.h"

namespace {

namespace dispid = port_control::ids::dispid;
using platform::DispParams;
using platform::ExcepInfo;
using platform::HRESULT;
using platform::Variant;
using port_control::testing::CallLog;
using port_control::testing::FakeSerial;
using port_control::testing::FakeUdp;

// The log goes only here: one folder for the whole run, removed at exit.
const std::string& workFolder() {
    static const fuzz::WorkFolder folder("dispatch-fuzz", {std::filesystem::temp_directory_path()});
    return folder.path();
}

// A LogFile value that stays inside the work folder: none, a file, a file in a missing
// folder, or the folder itself (which cannot be opened for appending).
Variant safeLogPath(uint8_t pick) {
    const std::string& folder = workFolder();
    const std::string choices[] = {"", folder + "/comm.log", folder + "/missing/comm.log", folder};
    return Variant::fromString(platform::fromUtf8(choices[pick % 4]));
}

bool isDocumented(HRESULT hr) {
    switch (hr) {
        case platform::S_OK:
        case platform::E_INVALIDARG:
        case platform::DISP_E_MEMBERNOTFOUND:
        case platform::DISP_E_PARAMNOTFOUND:
        case platform::DISP_E_BADPARAMCOUNT:
        case platform::DISP_E_OVERFLOW:
        case platform::DISP_E_TYPEMISMATCH:
        case platform::DISP_E_EXCEPTION:
            return true;
        default:
            return false;
    }
}

const Variant& untouched() {
    static const Variant marker = Variant::fromString(u"\uFFFF untouched \uFFFF");
    return marker;
}

// Calls Invoke and checks what came back against the engine's contract.
HRESULT checkedInvoke(platform::IDispatch& object, int32_t id, uint16_t flags, DispParams params,
                      bool wantResult, bool wantExcepInfo, bool wantArgError) {
    Variant result = untouched();
    ExcepInfo excepInfo;
    unsigned argError = 0xFFFFFFFFu;
    const size_t argCount = params.args.size();
    const HRESULT hr =
        object.Invoke(id, flags, params, wantResult ? &result : nullptr,
                      wantExcepInfo ? &excepInfo : nullptr, wantArgError ? &argError : nullptr);
    FUZZ_CHECK(isDocumented(hr), "Invoke(%08X, flags %u, %zu args) returned %08X",
               static_cast<unsigned>(id), flags, argCount, static_cast<unsigned>(hr));
    if (hr != platform::S_OK)
        FUZZ_CHECK(result == untouched(), "a failed Invoke (%08X) wrote the result",
                   static_cast<unsigned>(hr));
    if (hr == platform::DISP_E_EXCEPTION && wantExcepInfo) {
        FUZZ_CHECK(excepInfo.number != 0, "an exception without a number");
        FUZZ_CHECK(excepInfo.scode == platform::hresultFromNumber(excepInfo.number),
                   "scode %08X for error %d", static_cast<unsigned>(excepInfo.scode),
                   excepInfo.number);
        FUZZ_CHECK(!excepInfo.description.empty(), "error %d without a description",
                   excepInfo.number);
    }
    if ((hr == platform::DISP_E_TYPEMISMATCH || hr == platform::DISP_E_OVERFLOW) && wantArgError)
        FUZZ_CHECK(argError < argCount, "argError %u for %zu arguments", argError, argCount);
    platform::clearErrorInfo();
    return hr;
}

// A host that reads the event and the data inside OnComm, as the sample does.
class ReadingSink final : public platform::RefCounted<platform::IDispatch> {
  public:
    explicit ReadingSink(platform::IDispatch& control) : m_control(control) {}
    int heard = 0;

    HRESULT GetIDsOfNames(const char16_t* const*, unsigned, int32_t*) override {
        return platform::E_NOTIMPL;
    }
    HRESULT Invoke(int32_t id, uint16_t, DispParams&, Variant*, ExcepInfo*, unsigned*) override {
        FUZZ_CHECK(id == dispid::OnComm, "the sink heard DISPID %d", id);
        ++heard;
        if (heard > 64)  // an event raised from inside the handler must not recurse forever
            return platform::S_OK;
        checkedInvoke(m_control, dispid::CommEvent, platform::DISPATCH_PROPERTYGET, {}, true, true,
                      true);
        checkedInvoke(m_control, dispid::Input2, platform::DISPATCH_PROPERTYGET, {}, true, true,
                      true);
        return platform::S_OK;
    }

  private:
    platform::IDispatch& m_control;
};

int32_t takeDispid(fuzz::FuzzInput& input) {
    const uint8_t pick = input.takeByte();
    if (pick < 200)
        return 0x68030000 + pick % 30;
    if (pick < 215)
        return dispid::OnComm;
    static constexpr int32_t kNear[] = {0x6803001E, 0x6802FFFF,           0,         -1,
                                        -3,         0x68030000 + 0x10000, 0x7FFFFFFF};
    if (pick < 240)
        return kNear[pick % std::size(kNear)];
    return input.take<int32_t>();
}

uint16_t takeFlags(fuzz::FuzzInput& input) {
    static constexpr uint16_t kFlags[] = {1, 2, 4, 8, 3, 2, 4, 4, 2, 5, 6, 12, 9, 15, 0};
    const uint8_t pick = input.takeByte();
    if (pick < 240)
        return kFlags[pick % std::size(kFlags)];
    return input.take<uint16_t>();
}

DispParams takeParams(fuzz::FuzzInput& input, int32_t id, uint16_t flags) {
    DispParams params;
    const uint8_t shape = input.takeByte();
    const size_t count = shape % 8 < 5 ? (flags & 12 ? 1 : 0) : shape % 8 - 5;  // mostly right
    for (size_t i = 0; i < count; ++i) {
        params.args.push_back(id == dispid::LogFile ? safeLogPath(input.takeByte())
                                                    : fuzz::takeVariant(input));
    }
    const uint8_t naming = shape >> 3;
    if (!params.args.empty() && (flags & 12) && naming % 4 != 3)
        params.namedArgs.push_back(platform::DISPID_PROPERTYPUT);
    else if (!params.args.empty() && naming % 4 == 3)
        params.namedArgs.push_back(input.take<int32_t>());
    return params;
}

// Raises a component event as the component's adapter does. A failure inside the control's
// handler goes back to the adapter, and from there to the loop that delivered the event,
// so it may be a platform::Error and nothing else.
template <class Raise>
void raiseEvent(Raise&& raise) {
    try {
        raise();
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() != 0, "an event failed with error 0");
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "an event handler threw %s", e.what());
    }
    platform::clearErrorInfo();
}

// A failed lifecycle call leaves its error as the thread's error info.
void checkLifecycleResult(HRESULT hr, const char* what) {
    const std::optional<platform::ErrorInfo> info = platform::takeErrorInfo();
    if (hr == platform::S_OK)
        return;
    FUZZ_CHECK(platform::failed(hr), "%s returned %08X", what, static_cast<unsigned>(hr));
    FUZZ_CHECK(info && info->number != 0 && !info->description.empty(),
               "%s failed (%08X) without error info", what, static_cast<unsigned>(hr));
    FUZZ_CHECK(hr == platform::hresultFromNumber(info->number), "%s returned %08X for error %d",
               what, static_cast<unsigned>(hr), info->number);
}

// Restores the control from a bag of the persisted keys with values of any type.
void loadProperties(fuzz::FuzzInput& input, platform::IPersistPropertyBag& control) {
    static const char16_t* const kKeys[] = {
        u"Settings",   u"CommPort",    u"DTREnable",     u"Handshaking",   u"InBufferSize",
        u"InputLen",   u"NullDiscard", u"OutBufferSize", u"ParityReplace", u"RThreshold",
        u"RTSEnable",  u"SThreshold",  u"EOFEnable",     u"InputMode",     u"RemoteHost",
        u"RemotePort", u"LocalPort",   u"UDPUse",        u"LogFile"};
    platform::TextPropertyBag bag(false);
    const size_t count = input.takeByte() % 6;
    for (size_t i = 0; i < count; ++i) {
        const std::u16string_view key = kKeys[input.takeByte() % std::size(kKeys)];
        bag.Write(key, key == u"LogFile" ? safeLogPath(input.takeByte()) : fuzz::takeVariant(input),
                  Variant());
    }
    checkLifecycleResult(control.Load(&bag), "Load");
}

// Saves the control; what it saved loads back into a bag.
void saveProperties(platform::IPersistPropertyBag& control) {
    platform::TextPropertyBag bag;
    const HRESULT hr = control.Save(&bag);
    checkLifecycleResult(hr, "Save");
    if (hr != platform::S_OK)
        return;
    platform::TextPropertyBag again;
    try {
        again.loadText(bag.toText());
    } catch (const platform::Error& error) {
        FUZZ_CHECK(false, "the saved properties do not load: %s", error.what());
    }
}

void injectFailure(fuzz::FuzzInput& input, CallLog& log) {
    static const char* const kCalls[] = {
        "put PortOpen",     "get PortOpen",   "put Output",        "get Input",
        "get CommEvent",    "put Settings",   "Winsock1 SendData", "Winsock2 Bind",
        "Winsock2 GetData", "Winsock2 Close", "put RThreshold",    "get InBufferCount"};
    static constexpr int32_t kNumbers[] = {8002, 8005, 8012, 380, 40006, 10048, 6, 13};
    const uint8_t pick = input.takeByte();
    if (pick < 192)
        return;
    log.failOn(kCalls[pick % std::size(kCalls)], kNumbers[input.takeByte() % std::size(kNumbers)]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    std::filesystem::remove(workFolder() + "/comm.log");

    CallLog log;
    auto serialOwned = std::make_unique<FakeSerial>(log);
    auto senderOwned = std::make_unique<FakeUdp>(log, "Winsock1");
    auto receiverOwned = std::make_unique<FakeUdp>(log, "Winsock2");
    FakeSerial& serial = *serialOwned;
    FakeUdp& receiver = *receiverOwned;
    injectFailure(input, log);

    platform::ModuleCounter counter;
    {
        auto object = platform::makeObject<port_control::PortulaObject>(
            counter, port_control::Components{std::move(serialOwned), std::move(senderOwned),
                                              std::move(receiverOwned)});
        platform::IDispatch& control = *object.get();

        platform::ComPtr<ReadingSink> sink;
        uint32_t cookie = 0;
        if (input.takeBool()) {
            platform::ComPtr<platform::IConnectionPoint> point;
            FUZZ_CHECK(object->FindConnectionPoint(port_control::ids::DIID___Portula,
                                                   point.put()) == platform::S_OK,
                       "no OnComm connection point");
            sink = platform::makeObject<ReadingSink>(control);
            FUZZ_CHECK(point->Advise(sink.get(), &cookie) == platform::S_OK, "Advise failed");
        }

        for (int step = 0; step < 64 && !input.empty(); ++step) {
            switch (input.takeByte() % 12) {
                case 7:
                    serial.commEvent = input.take<int16_t>();
                    serial.inBufferCount = input.take<int16_t>();
                    if (serial.onComm)
                        raiseEvent([&] { serial.onComm(); });
                    break;
                case 8: {
                    const std::u16string datagram = input.takeText(32);
                    raiseEvent([&] { receiver.deliver(datagram); });
                    break;
                }
                case 9: {
                    const std::u16string name = input.takeText(12);
                    const char16_t* names[] = {name.c_str()};
                    int32_t id = 0;
                    const HRESULT hr = control.GetIDsOfNames(names, 1, &id);
                    FUZZ_CHECK(hr == platform::S_OK || hr == platform::DISP_E_UNKNOWNNAME,
                               "GetIDsOfNames returned %08X", static_cast<unsigned>(hr));
                    if (hr == platform::S_OK)
                        FUZZ_CHECK(id >= 0x68030000 && id <= 0x6803001D, "DISPID %08X",
                                   static_cast<unsigned>(id));
                    break;
                }
                case 10:
                    loadProperties(input, *object.get());
                    break;
                case 11:
                    saveProperties(*object.get());
                    break;
                default: {
                    const int32_t id = takeDispid(input);
                    const uint16_t flags = takeFlags(input);
                    DispParams params = takeParams(input, id, flags);
                    const uint8_t nulls = input.takeByte();
                    checkedInvoke(control, id, flags, std::move(params), nulls % 8 != 0,
                                  nulls % 5 != 0, nulls % 7 != 0);
                    break;
                }
            }
        }
    }
    FUZZ_CHECK(counter.count() == 0, "the control is still counted (%d) after its release",
               counter.count());
    platform::clearErrorInfo();
    return 0;
}
