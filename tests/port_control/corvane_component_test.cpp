// Corvane as a host sees it: registered, loaded and created through the platform, talked
// to through IDispatch (and laid out as its dual interface says), its events received
// through a sink.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string_view>

#include "interface/corvane_type_library.h"
#include "platform/control_site.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "portula/portula_ids.h"
#include "portula/portula_interface.h"
#include "portula_properties.h"
#include "support/pty_pair.h"

namespace port_control {
namespace {

namespace fs = std::filesystem;
using platform::ComPtr;
using platform::Variant;
namespace dispid = ids::dispid;

template <class Fn>
Fn moduleFunction(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

class CorvaneComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_home = fs::temp_directory_path() / ("corvane-component-" + std::to_string(::getpid()));
        fs::remove_all(m_home);
        fs::create_directories(m_home);
        fs::permissions(m_home, fs::perms::owner_all);
        ::setenv("CORVANE_PLATFORM_HOME", m_home.c_str(), 1);
        m_module = dlopen(CORVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_module, nullptr) << dlerror();
        ASSERT_EQ(moduleFunction<platform::DllRegisterServerFn>(m_module, "DllRegisterServer")(),
                  platform::S_OK);
    }
    void TearDown() override {
        platform::freeUnusedLibraries();
        if (m_module)
            dlclose(m_module);
        fs::remove_all(m_home);
        ::unsetenv("CORVANE_PLATFORM_HOME");
    }

    platform::HRESULT canUnloadNow() {
        return moduleFunction<platform::DllCanUnloadNowFn>(m_module, "DllCanUnloadNow")();
    }

    // A control created by its ProgID and carried by a site, as a window carries it.
    struct Hosted {
        ComPtr<platform::IUnknown> object;
        std::unique_ptr<platform::ControlSite> site;
        int onComm = 0;
    };
    std::unique_ptr<Hosted> create() {
        auto hosted = std::make_unique<Hosted>();
        EXPECT_EQ(platform::createInstanceByProgId(u"Corvane.Portula", platform::IID_IUnknown,
                                                   hosted->object.putVoid()),
                  platform::S_OK);
        hosted->site = std::make_unique<platform::ControlSite>(hosted->object.get());
        Hosted* raw = hosted.get();
        hosted->site->setEventHandler([raw](int32_t id, std::span<const Variant>) {
            if (id == dispid::OnComm)
                ++raw->onComm;
        });
        hosted->site->activate(2000, 1000);
        return hosted;
    }

    fs::path m_home;
    void* m_module = nullptr;
};

TEST_F(CorvaneComponentTest, NamesBindToThePublishedDispids) {
    auto control = create();
    const std::pair<const char16_t*, int32_t> rows[] = {
        {u"LogFile", dispid::LogFile},   {u"logfile", dispid::LogFile},
        {u"Settings", dispid::Settings}, {u"CommEvent", dispid::CommEvent},
        {u"InputLen", dispid::InputLen}, {u"PortOpen", dispid::PortOpen},
        {u"Output", dispid::Output},     {u"Input2", dispid::Input2},
        {u"UDPUse", dispid::UDPUse},     {u"LocalPort", 0x68030000},
    };
    for (const auto& [name, expected] : rows)
        EXPECT_EQ(control->site->dispidOf(name), expected);
    EXPECT_THROW(control->site->dispidOf(u"Input"), platform::Error);
}

// The published members as hosts were built against them, written out here rather than
// taken from the identifiers the module is made from: name, DISPID, type, accessors and
// the name a successful write notifies.
enum Access { kGet = 1, kPut = 2, kPutGet = 3 };
struct PublishedMember {
    const char16_t* name;
    int32_t dispid;
    platform::VarType type;
    int access;
    const char16_t* notifies;  // null: no write
};
constexpr platform::VarType kText = platform::VarType::String;
constexpr platform::VarType kBool = platform::VarType::Boolean;
constexpr platform::VarType kInt = platform::VarType::Integer;
constexpr platform::VarType kLong = platform::VarType::Long;
constexpr platform::VarType kAny = platform::kVarTypeVariant;
const PublishedMember kPublishedMembers[] = {
    {u"LogFile", 0x6803001D, kText, kPutGet, u"LogFile"},
    {u"Settings", 0x6803001C, kText, kPutGet, u"Settings"},
    {u"Break", 0x6803001B, kBool, kPutGet, u"Break"},
    {u"CDHolding", 0x6803001A, kBool, kGet, nullptr},
    {u"CommEvent", 0x68030019, kInt, kGet, nullptr},
    {u"CommID", 0x68030018, kLong, kGet, nullptr},
    {u"CommPort", 0x68030017, kInt, kPutGet, u"CommPort"},
    {u"CTSHolding", 0x68030016, kBool, kGet, nullptr},
    {u"DSRHolding", 0x68030015, kBool, kGet, nullptr},
    {u"DTREnable", 0x68030014, kBool, kPutGet, u"DTREnable"},
    {u"EOFEnable", 0x68030013, kBool, kPutGet, u"EOFEnable"},
    {u"Handshaking", 0x68030012, kLong, kPutGet, u"Handshaking"},
    {u"InBufferCount", 0x68030011, kInt, kPutGet, u"InBufferCount"},
    {u"InBufferSize", 0x68030010, kInt, kPutGet, u"InBufferSize"},
    {u"InputLen", 0x6803000F, kInt, kPutGet, u"InputLen"},
    {u"InputMode", 0x6803000E, kLong, kPutGet, u"InputMode"},
    {u"NullDiscard", 0x6803000D, kBool, kPutGet, u"NullDiscard"},
    {u"OutBufferCount", 0x6803000C, kInt, kPutGet, u"OutBufferCount"},
    {u"OutBufferSize", 0x6803000B, kInt, kPutGet, u"OutBufferSize"},
    {u"ParityReplace", 0x6803000A, kText, kPutGet, u"ParityReplace"},
    {u"RThreshold", 0x68030009, kInt, kPutGet, u"RThreshold"},
    {u"RTSEnable", 0x68030008, kBool, kPutGet, u"RTSEnable"},
    {u"SThreshold", 0x68030007, kInt, kPutGet, u"SThreshold"},
    {u"PortOpen", 0x68030006, kBool, kPutGet, u"PortOpen"},
    {u"Output", 0x68030005, kAny, kPut, u"Output"},
    {u"Input2", 0x68030004, kAny, kGet, nullptr},
    {u"UDPUse", 0x68030003, kBool, kPutGet, u"UDPUse"},
    {u"RemoteHost", 0x68030002, kText, kPutGet, u"UDPRemoteHost"},
    {u"RemotePort", 0x68030001, kLong, kPutGet, u"UDPRemotePort"},
    {u"LocalPort", 0x68030000, kLong, kPutGet, u"UDPLocalPort"},
};

// Every member, in serial and in UDP mode, through IDispatch of the registered control:
// it binds to its DISPID, the type library gives it its accessors and type, a read gives
// that type, a write of the value just read (or of text for Output) notifies its name
// exactly once, and a missing accessor is refused.
TEST_F(CorvaneComponentTest, EveryPublishedMemberInBothModes) {
    using platform::VarType;
    const auto bytes = platform::findResource(m_module, "TYPELIB", 1u);
    ASSERT_TRUE(bytes);
    const platform::TypeLibrary library = platform::parseTypeLibrary(*bytes);
    const auto* portula = library.findInterface(u"_Portula");
    ASSERT_NE(portula, nullptr);
    ASSERT_EQ(portula->members.size(), 53u);

    const auto truth = [](bool on) { return Variant::fromBoolean(platform::toBooleanValue(on)); };
    for (const bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "UDP mode" : "serial mode");
        testing::PtyPair device;
        device.mapToPort(1);
        auto control = create();
        platform::ControlSite& site = *control->site;
        // The receiver bound to a port of the system's choice, the sender aimed at it.
        site.putProperty(0x68030003, truth(true));
        site.putProperty(0x68030006, truth(true));
        site.putProperty(0x68030002, Variant::fromString(u"127.0.0.1"));
        site.putProperty(0x68030001, site.getProperty(0x68030000));
        site.putProperty(0x68030003, truth(udp));

        const auto writeBack = [&](const PublishedMember& member, const Variant& value) {
            const size_t before = site.changedProperties().size();
            EXPECT_NO_THROW(site.putProperty(member.dispid, value));
            ASSERT_EQ(site.changedProperties().size(), before + 1);
            EXPECT_EQ(site.changedProperties().back(), member.notifies);
        };
        // Writes while the serial port is closed, as most serial settings require.
        for (const PublishedMember& member : kPublishedMembers) {
            SCOPED_TRACE(platform::toUtf8(member.name));
            EXPECT_EQ(site.dispidOf(member.name), member.dispid);
            const auto put = portula->findMember(member.dispid, platform::MemberKind::PropertyPut);
            const auto get = portula->findMember(member.dispid, platform::MemberKind::PropertyGet);
            ASSERT_EQ(put.has_value(), (member.access & kPut) != 0);
            ASSERT_EQ(get.has_value(), (member.access & kGet) != 0);
            if (put) {
                EXPECT_EQ(portula->members[*put].name, member.name);
                EXPECT_EQ(portula->members[*put].params, std::vector<VarType>{member.type});
                EXPECT_EQ(portula->members[*put].result, platform::kVarTypeVoid);
            }
            if (get) {
                EXPECT_EQ(portula->members[*get].name, member.name);
                EXPECT_TRUE(portula->members[*get].params.empty());
                EXPECT_EQ(portula->members[*get].result, member.type);
            }
            if (member.access == kPutGet)
                writeBack(member, site.getProperty(member.dispid));
        }
        // Reads and the data path with both transports open.
        site.putProperty(0x68030003, truth(false));
        site.putProperty(0x68030006, truth(true));
        site.putProperty(0x68030003, truth(true));
        site.putProperty(0x68030006, truth(true));
        site.putProperty(0x68030003, truth(udp));
        for (const PublishedMember& member : kPublishedMembers) {
            SCOPED_TRACE(platform::toUtf8(member.name));
            if (member.access & kGet) {
                const Variant value = site.getProperty(member.dispid);
                EXPECT_EQ(value.type(), member.type == kAny ? VarType::String : member.type);
            } else {
                EXPECT_THROW(site.getProperty(member.dispid), platform::Error);
            }
            if (member.access == kPut) {
                writeBack(member, Variant::fromString(u"x"));
            } else if (member.access == kGet) {
                const size_t before = site.changedProperties().size();
                try {
                    site.putProperty(member.dispid, Variant::fromInteger(0));
                    ADD_FAILURE() << "written";
                } catch (const platform::Error& e) {
                    EXPECT_EQ(e.number(), 438);
                }
                EXPECT_EQ(site.changedProperties().size(), before);
            }
        }
        if (udp)
            EXPECT_EQ(device.drainPeer(), "");
        else
            EXPECT_EQ(device.receiveAtPeer(1), "x");
    }
}

// The vtable index a pointer to a virtual member function names, read from its
// representation in the Itanium C++ ABI, {ptr, adj}: ptr is 1 + the byte offset into the
// vtable; on ARM, whose code addresses may be odd, ptr is the offset and adj is odd instead.
template <class Member>
std::optional<size_t> vtableIndex(Member member) {
    struct Representation {
        uintptr_t ptr;
        ptrdiff_t adj;
    };
    static_assert(sizeof(Member) == sizeof(Representation));
    Representation representation;
    std::memcpy(&representation, &member, sizeof representation);
    if (representation.adj & 1)
        return representation.ptr / sizeof(void*);
    if (representation.ptr & 1)
        return (representation.ptr - 1) / sizeof(void*);
    return std::nullopt;
}

// Hosts call the installed IPortula by vtable index, so its functions must sit where the
// published members put them: after IDispatch's, a property's put before its get, in the
// order of the published members.
TEST(CorvaneDualInterface, EveryAccessorSitsWhereThePublishedMembersPutIt) {
    ASSERT_EQ(vtableIndex(&platform::IUnknown::QueryInterface), 0u)
        << "member pointers are not laid out as the Itanium C++ ABI says";
    const size_t first = *vtableIndex(&platform::IDispatch::Invoke) + 1;
    struct Accessor {
        std::u16string_view name;
        int access;  // kPut or kGet
        std::optional<size_t> index;
    };
    const Accessor accessors[] = {
#define PORTULA_PUT(name, type) {u## #name, kPut, vtableIndex(&IPortula::put_##name)},
#define PORTULA_GET(name, type) {u## #name, kGet, vtableIndex(&IPortula::get_##name)},
#define PORTULA_PROPERTY PORTULA_ACCESSORS
#include "portula_properties.inc"
#undef PORTULA_GET
#undef PORTULA_PUT
    };
    size_t expected = first;
    for (const PublishedMember& member : kPublishedMembers) {
        for (const int access : {kPut, kGet}) {
            if ((member.access & access) == 0)
                continue;
            SCOPED_TRACE(platform::toUtf8(member.name) + (access == kPut ? " put" : " get"));
            const auto found = std::find_if(
                std::begin(accessors), std::end(accessors),
                [&](const Accessor& a) { return a.name == member.name && a.access == access; });
            ASSERT_NE(found, std::end(accessors));
            EXPECT_EQ(found->index, expected);
            ++expected;
        }
    }
    EXPECT_EQ(expected - first, std::size(accessors));
}

TEST_F(CorvaneComponentTest, ANewControlHasTheDesignSurfaceValuesAndKeepsItsSize) {
    auto control = create();
    EXPECT_EQ(control->site->getProperty(dispid::Settings), Variant::fromString(u"9600,n,8,1"));
    EXPECT_EQ(control->site->getProperty(dispid::CommPort), Variant::fromInteger(1));
    EXPECT_EQ(control->site->getProperty(dispid::InBufferSize), Variant::fromInteger(1024));
    EXPECT_EQ(control->site->getProperty(dispid::OutBufferSize), Variant::fromInteger(512));
    EXPECT_EQ(control->site->getProperty(dispid::UDPUse), Variant::fromBoolean(platform::kFalse));
    EXPECT_EQ(control->site->extent().width, 435.0f);
    EXPECT_EQ(control->site->extent().height, 435.0f);
    EXPECT_EQ(control->site->miscStatus(), 0x20591u);
    control->site->resize(5000, 100);
    EXPECT_EQ(control->site->extent().width, 435.0f);
}

TEST_F(CorvaneComponentTest, MissingAccessorsFailWithoutReachingTheControl) {
    auto control = create();
    for (int32_t id : {dispid::CDHolding, dispid::CommEvent, dispid::CommID, dispid::CTSHolding,
                       dispid::DSRHolding, dispid::Input2}) {
        try {
            control->site->putProperty(id, Variant::fromInteger(1));
            ADD_FAILURE() << std::hex << id;
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), 438);  // no such member
        }
    }
    EXPECT_THROW(control->site->getProperty(dispid::Output), platform::Error);
    EXPECT_TRUE(control->site->changedProperties().empty());
}

TEST_F(CorvaneComponentTest, AComponentsErrorReachesTheLateBoundCaller) {
    auto control = create();
    try {
        control->site->putProperty(dispid::Settings, Variant::fromString(u"fast,x,9,3"));
        FAIL() << "accepted";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 380);
        EXPECT_EQ(e.description(), u"プロパティの値が不正です。");
    }
    EXPECT_EQ(control->site->getProperty(dispid::Settings), Variant::fromString(u"9600,n,8,1"));
    try {
        control->site->putProperty(dispid::CommPort, Variant::fromString(u"abc"));
        FAIL() << "accepted";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 13);
    }
}

TEST_F(CorvaneComponentTest, TwoControlsExchangeADatagramAndRaiseOnComm) {
    auto receiver = create();
    auto sender = create();
    receiver->site->putProperty(dispid::LocalPort, Variant::fromLong(0));
    receiver->site->putProperty(dispid::RThreshold, Variant::fromInteger(1));
    receiver->site->putProperty(dispid::UDPUse, Variant::fromBoolean(platform::kTrue));
    receiver->site->putProperty(dispid::PortOpen, Variant::fromBoolean(platform::kTrue));
    EXPECT_EQ(receiver->site->getProperty(dispid::PortOpen), Variant::fromBoolean(platform::kTrue));
    const int32_t port = platform::toLong(receiver->site->getProperty(dispid::LocalPort));
    ASSERT_GT(port, 0);

    sender->site->putProperty(dispid::RemoteHost, Variant::fromString(u"127.0.0.1"));
    sender->site->putProperty(dispid::RemotePort, Variant::fromLong(port));
    sender->site->putProperty(dispid::UDPUse, Variant::fromBoolean(platform::kTrue));
    sender->site->putProperty(dispid::SThreshold, Variant::fromInteger(1));
    sender->site->putProperty(dispid::Output, Variant::fromString(u"\x01こんにちは\uF8F3"));
    EXPECT_EQ(sender->onComm, 1);
    EXPECT_EQ(sender->site->getProperty(dispid::CommEvent), Variant::fromInteger(1));

    ASSERT_TRUE(platform::MessageLoop::current().runUntil([&] { return receiver->onComm > 0; },
                                                          std::chrono::seconds(5)));
    EXPECT_EQ(receiver->site->getProperty(dispid::CommEvent), Variant::fromInteger(2));
    EXPECT_EQ(receiver->site->getProperty(dispid::Input2),
              Variant::fromString(u"\x01こんにちは\uF8F3"));
    EXPECT_EQ(
        receiver->site->changedProperties(),
        (std::vector<std::u16string>{u"UDPLocalPort", u"RThreshold", u"UDPUse", u"PortOpen"}));
}

// What registration leaves in the registry, against the published values themselves.
TEST_F(CorvaneComponentTest, RegistrationRecordsThePublishedIdentifiers) {
    const platform::RegistryContents contents = platform::Registry().read();
    const fs::path module = platform::normalisedLibraryPath(CORVANE_MODULE_PATH);

    ASSERT_EQ(contents.classes.size(), 1u);
    const platform::ClassRegistration& portula = contents.classes[0];
    EXPECT_EQ(portula.clsid.toString(), "{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C43}");
    EXPECT_EQ(portula.libraryPath, module);
    EXPECT_EQ(portula.threadingModel, "Apartment");
    EXPECT_EQ(portula.className, "Portula");
    EXPECT_EQ(portula.progId, "Corvane.Portula");
    EXPECT_EQ(portula.typeLibId.toString(), "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}");
    EXPECT_EQ(portula.iidDefault.toString(), "{AE41BAE6-2B97-41DA-8374-6BBB84B8A901}");
    EXPECT_EQ(portula.iidSource.toString(), "{ABFBDDDB-8142-4D1F-9322-3E0DE11D2983}");
    EXPECT_EQ(portula.miscStatus, 0x20591u);
    EXPECT_EQ(portula.toolboxBitmapId, 30000);
    EXPECT_TRUE(portula.raisesEvents);
    EXPECT_FALSE(portula.isDesigner);

    ASSERT_EQ(contents.progIds.size(), 1u);
    EXPECT_EQ(contents.progIds[0].progId, "Corvane.Portula");
    EXPECT_EQ(contents.progIds[0].clsid.toString(), "{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C43}");

    ASSERT_EQ(contents.typeLibraries.size(), 1u);
    const platform::TypeLibraryRegistration& library = contents.typeLibraries[0];
    EXPECT_EQ(library.id.toString(), "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}");
    EXPECT_EQ(library.versionMajor, 67);
    EXPECT_EQ(library.versionMinor, 0);
    EXPECT_EQ(library.lcid, 0u);
    EXPECT_EQ(library.path, module);
    EXPECT_EQ(library.name, "Corvane");
    EXPECT_EQ(library.description, "Corvane");
    EXPECT_EQ(library.helpDir, "");

    ASSERT_EQ(moduleFunction<platform::DllUnregisterServerFn>(m_module, "DllUnregisterServer")(),
              platform::S_OK);
    const platform::RegistryContents after = platform::Registry().read();
    EXPECT_TRUE(after.classes.empty());
    EXPECT_TRUE(after.progIds.empty());
    EXPECT_TRUE(after.typeLibraries.empty());
}

TEST_F(CorvaneComponentTest, TheLibraryStaysWhileAnObjectLives) {
    auto control = create();
    EXPECT_EQ(canUnloadNow(), platform::S_FALSE);
    control.reset();
    EXPECT_EQ(canUnloadNow(), platform::S_OK);
}

TEST_F(CorvaneComponentTest, AnUnregisteredClassCannotBeCreated) {
    ASSERT_EQ(moduleFunction<platform::DllUnregisterServerFn>(m_module, "DllUnregisterServer")(),
              platform::S_OK);
    ComPtr<platform::IUnknown> object;
    const platform::HRESULT hr =
        platform::createInstance(ids::CLSID_Portula, platform::IID_IUnknown, object.putVoid());
    EXPECT_TRUE(hr == platform::REGDB_E_CLASSNOTREG || hr == platform::CLASS_E_CLASSNOTAVAILABLE)
        << std::hex << hr;
    EXPECT_FALSE(object);
}

TEST_F(CorvaneComponentTest, TheTypeLibraryResourceDescribesTheControl) {
    const auto bytes = platform::findResource(m_module, "TYPELIB", 1u);
    ASSERT_TRUE(bytes);
    const platform::TypeLibrary library = platform::parseTypeLibrary(*bytes);
    EXPECT_EQ(library, corvaneTypeLibrary());
    // The published identifiers and flags, as literal values.
    EXPECT_EQ(library.name(), u"Corvane");
    EXPECT_EQ(library.helpString(), u"Corvane");
    EXPECT_EQ(library.guid().toString(), "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}");
    EXPECT_EQ(library.version(), (platform::Version{67, 0}));
    EXPECT_EQ(library.lcid(), 0x0409u);
    EXPECT_EQ(library.flags(), 0x2);  // contains controls
    EXPECT_EQ(library.sysKind(), platform::SysKind::Win32);
    ASSERT_EQ(library.imports().size(), 1u);
    EXPECT_EQ(library.imports()[0].version, (platform::Version{2, 0}));
    ASSERT_EQ(library.coclasses().size(), 1u);
    const platform::CoclassDescription& coclass = library.coclasses()[0];
    EXPECT_EQ(coclass.name, u"Portula");
    EXPECT_EQ(coclass.clsid.toString(), "{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C43}");
    EXPECT_EQ(coclass.version, (platform::Version{1, 0}));
    EXPECT_EQ(coclass.flags, 0x20);  // a control and nothing else
    ASSERT_EQ(coclass.interfaces.size(), 2u);
    EXPECT_EQ(coclass.defaultInterface()->toString(), "{AE41BAE6-2B97-41DA-8374-6BBB84B8A901}");
    EXPECT_EQ(coclass.defaultSource()->toString(), "{ABFBDDDB-8142-4D1F-9322-3E0DE11D2983}");
    const auto* portula = library.findInterface(u"_Portula");
    ASSERT_NE(portula, nullptr);
    EXPECT_EQ(portula->iid.toString(), "{AE41BAE6-2B97-41DA-8374-6BBB84B8A901}");
    EXPECT_EQ(portula->version, (platform::Version{1, 0}));
    // hidden, dual, non-extensible, automation-compatible, dispatchable
    EXPECT_EQ(portula->flags, 0x10 | 0x40 | 0x80 | 0x100 | 0x1000);
    EXPECT_EQ(portula->kind, platform::InterfaceKind::Dual);
    EXPECT_EQ(portula->members.size(), 53u);
    EXPECT_EQ(portula->members.front().name, u"LogFile");
    EXPECT_EQ(portula->members.front().kind, platform::MemberKind::PropertyPut);
    EXPECT_EQ(portula->members.back().name, u"LocalPort");
    EXPECT_EQ(portula->members.back().kind, platform::MemberKind::PropertyGet);
    const auto* events = library.findInterface(u"__Portula");
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(events->iid.toString(), "{ABFBDDDB-8142-4D1F-9322-3E0DE11D2983}");
    EXPECT_EQ(events->flags, 0x10 | 0x80 | 0x1000);  // hidden, non-extensible, dispatchable
    EXPECT_EQ(events->kind, platform::InterfaceKind::Dispatch);
    ASSERT_EQ(events->members.size(), 1u);
    EXPECT_EQ(events->members[0].name, u"OnComm");
    EXPECT_EQ(events->members[0].dispid, 1);
    EXPECT_TRUE(events->members[0].params.empty());
}

TEST_F(CorvaneComponentTest, TheLoadedModuleCarriesItsResources) {
    const auto iid = platform::findResource(m_module, "_IID_PORTULA", 1u);
    ASSERT_TRUE(iid);
    ASSERT_EQ(iid->size(), 20u);
    EXPECT_EQ((*iid)[0], 16);
    const auto bytes = ids::IID__Portula.toBytes();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), iid->begin() + 4));
    EXPECT_TRUE(platform::findResource(m_module, "_SRCIID_PORTULA", 1u));
    EXPECT_TRUE(platform::findResource(m_module, "BITMAP", 30000u));
    EXPECT_TRUE(platform::findResource(m_module, "GIF", 1u));
    EXPECT_TRUE(platform::findResource(m_module, "VERSION", 1u));
    EXPECT_FALSE(platform::findResource(m_module, "BITMAP", 1u));
}

}  // namespace
}  // namespace port_control
