#include "platform/connection_point.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/ref_counted.h"

namespace platform {
namespace {

// {0B8E1F7C-3D6A-4C2E-9F10-5A4B3C2D1E0F}
constexpr Guid IID_ITestEvents{
    0x0B8E1F7C, 0x3D6A, 0x4C2E, {0x9F, 0x10, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F}};

struct Heard {
    std::string sink;
    int32_t dispid;
    std::vector<Variant> args;
    bool operator==(const Heard&) const = default;
};

class RecordingSink final : public RefCounted<IDispatch> {
  public:
    RecordingSink(std::string name, std::vector<Heard>& heard) : m_name(name), m_heard(heard) {}

    // Runs inside the sink's next calls, after recording.
    std::function<HRESULT()> onEvent;

    HRESULT GetIDsOfNames(const char16_t* const*, unsigned, int32_t*) override { return E_NOTIMPL; }
    HRESULT Invoke(int32_t dispid, uint16_t flags, DispParams& params, Variant*, ExcepInfo*,
                   unsigned*) override {
        EXPECT_EQ(flags, DISPATCH_METHOD);
        m_heard.push_back({m_name, dispid, {params.args.rbegin(), params.args.rend()}});
        // A sink may scribble on what it was given; the next sink must not see it.
        for (Variant& arg : params.args)
            arg = Variant::fromString(u"scribbled");
        return onEvent ? onEvent() : S_OK;
    }

  private:
    std::string m_name;
    std::vector<Heard>& m_heard;
};

// An event interface that answers its own IID only, not IDispatch.
class ITestEvents : public IDispatch {
  protected:
    ~ITestEvents() = default;
};

}  // namespace

template <>
struct InterfaceIds<ITestEvents> {
    static constexpr Guid value[] = {IID_ITestEvents};
};

namespace {

class EventOnlySink final : public RefCounted<ITestEvents> {
  public:
    int calls = 0;
    HRESULT GetIDsOfNames(const char16_t* const*, unsigned, int32_t*) override { return E_NOTIMPL; }
    HRESULT Invoke(int32_t, uint16_t, DispParams&, Variant*, ExcepInfo*, unsigned*) override {
        ++calls;
        return S_OK;
    }
};

class NotASink final : public RefCounted<IUnknown> {};

struct ConnectionPointTest : ::testing::Test {
    std::vector<Heard> heard;
    ComPtr<ConnectionPoint> point = makeObject<ConnectionPoint>(IID_ITestEvents);

    ComPtr<RecordingSink> sink(const std::string& name) {
        return makeObject<RecordingSink>(name, heard);
    }
    uint32_t advise(IUnknown* sink) {
        uint32_t cookie = 0;
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        return cookie;
    }
};

TEST_F(ConnectionPointTest, FiresToEverySinkInAdviseOrderWithArgumentsInOrder) {
    const auto a = sink("a");
    const auto b = sink("b");
    const uint32_t cookieA = advise(a.get());
    const uint32_t cookieB = advise(b.get());
    EXPECT_NE(cookieA, 0u);
    EXPECT_NE(cookieA, cookieB);
    EXPECT_EQ(point->connectionCount(), 2u);

    point->fire(7, {Variant::fromInteger(1), Variant::fromString(u"two")});
    const std::vector<Variant> args{Variant::fromInteger(1), Variant::fromString(u"two")};
    EXPECT_EQ(heard, (std::vector<Heard>{{"a", 7, args}, {"b", 7, args}}));

    EXPECT_EQ(point->Unadvise(cookieA), S_OK);
    EXPECT_EQ(point->Unadvise(cookieA), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    heard.clear();
    point->fire(1);
    EXPECT_EQ(heard, (std::vector<Heard>{{"b", 1, {}}}));

    // Cookies are not reused.
    EXPECT_NE(advise(a.get()), cookieA);
}

TEST_F(ConnectionPointTest, AcceptsOnlySinksOfTheEventInterface) {
    uint32_t cookie = 5;
    const auto stranger = makeObject<NotASink>();
    EXPECT_EQ(point->Advise(stranger.get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(stranger->referenceCount(), 1u);

    const auto eventOnly = makeObject<EventOnlySink>();
    advise(eventOnly.get());
    point->fire(1);
    EXPECT_EQ(eventOnly->calls, 1);

    Guid iid;
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IID_ITestEvents);
    ComPtr<IConnectionPoint> found;
    EXPECT_EQ(point->offer(IID_IDispatch, found.put()), CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(found);
    EXPECT_EQ(point->offer(IID_ITestEvents, found.put()), S_OK);
    EXPECT_EQ(found.get(), static_cast<IConnectionPoint*>(point.get()));
}

TEST_F(ConnectionPointTest, SinksChangingTheListDuringARoundAreSafe) {
    const auto a = sink("a");
    const auto b = sink("b");
    const auto c = sink("c");
    const auto late = sink("late");
    const uint32_t cookieA = advise(a.get());
    const uint32_t cookieB = advise(b.get());
    advise(c.get());
    // a drops itself and b, and brings in a newcomer, all during the first event.
    a->onEvent = [&] {
        EXPECT_EQ(point->Unadvise(cookieA), S_OK);
        EXPECT_EQ(point->Unadvise(cookieB), S_OK);
        advise(late.get());
        a->onEvent = nullptr;
        return S_OK;
    };
    point->fire(1, {Variant::fromInteger(9)});
    EXPECT_EQ(heard, (std::vector<Heard>{{"a", 1, {Variant::fromInteger(9)}},
                                         {"c", 1, {Variant::fromInteger(9)}}}));
    heard.clear();
    point->fire(2);
    EXPECT_EQ(heard, (std::vector<Heard>{{"c", 2, {}}, {"late", 2, {}}}));
    // Nothing of the round keeps a reference.
    EXPECT_EQ(a->referenceCount(), 1u);
    EXPECT_EQ(b->referenceCount(), 1u);
}

TEST_F(ConnectionPointTest, ALoneSinkThatUnadvisesItselfIsHeldUntilItsCallReturns) {
    const auto a = sink("a");
    const auto b = sink("b");
    const uint32_t cookieA = advise(a.get());
    a->onEvent = [&] {
        EXPECT_EQ(point->Unadvise(cookieA), S_OK);
        EXPECT_EQ(a->referenceCount(), 2u) << "the round's reference is gone";
        advise(b.get());
        return S_OK;
    };
    point->fire(1);
    point->fire(2);
    EXPECT_EQ(heard, (std::vector<Heard>{{"a", 1, {}}, {"b", 2, {}}}));
    EXPECT_EQ(a->referenceCount(), 1u);
}

TEST_F(ConnectionPointTest, AFailingSinkDoesNotStopTheOthers) {
    const auto a = sink("a");
    const auto b = sink("b");
    advise(a.get());
    advise(b.get());
    a->onEvent = [] { return reportError(Error(errors::kInvalidPropertyValue)); };
    point->fire(3);
    EXPECT_EQ(heard.size(), 2u);
    EXPECT_FALSE(takeErrorInfo().has_value());
}

TEST_F(ConnectionPointTest, SinksAreReleasedWhenUnadvisedOrWhenThePointGoes) {
    const auto a = sink("a");
    const auto b = sink("b");
    const uint32_t cookieA = advise(a.get());
    advise(b.get());
    EXPECT_EQ(a->referenceCount(), 2u);
    point->Unadvise(cookieA);
    EXPECT_EQ(a->referenceCount(), 1u);
    point->unadviseAll();
    EXPECT_EQ(b->referenceCount(), 1u);
    EXPECT_EQ(point->connectionCount(), 0u);

    advise(a.get());
    point.reset();
    EXPECT_EQ(a->referenceCount(), 1u);
}

TEST_F(ConnectionPointTest, APointLetGoByItsLastSinkDuringARoundFinishesIt) {
    const auto a = sink("a");
    const auto b = sink("b");
    advise(a.get());
    advise(b.get());
    ConnectionPoint* raw = point.get();
    ComPtr<ConnectionPoint> heldByA = std::move(point);
    a->onEvent = [&] {
        heldByA.reset();
        return S_OK;
    };
    raw->fire(4);
    EXPECT_EQ(heard.size(), 2u);
    // The point is gone now, and it released both sinks.
    EXPECT_EQ(a->referenceCount(), 1u);
    EXPECT_EQ(b->referenceCount(), 1u);
}

}  // namespace
}  // namespace platform
