// Corvane as a host sees it: registered, loaded and created through the platform, talked
// to only through IDispatch, its events received through a sink.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "interface/corvane_type_library.h"
#include "platform/control_site.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/resources.h"
#include "portula/portula_ids.h"

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
    const auto* portula = library.findInterface(u"_Portula");
    ASSERT_NE(portula, nullptr);
    EXPECT_EQ(portula->members.size(), 53u);
    EXPECT_EQ(portula->members.front().name, u"LogFile");
    EXPECT_EQ(portula->members.front().kind, platform::MemberKind::PropertyPut);
    EXPECT_EQ(portula->members.back().name, u"LocalPort");
    EXPECT_EQ(portula->members.back().kind, platform::MemberKind::PropertyGet);
    const auto* events = library.findInterface(u"__Portula");
    ASSERT_NE(events, nullptr);
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
