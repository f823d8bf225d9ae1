// Late binding: IDispatch::Invoke of a property get (CommEvent) and a property put
// (RThreshold) on the Portula component, against a direct call of the same accessor of the
// dual interface. The arguments are prepared once, as a caller that repeats a call would.
#include "interface/portula_object.h"
#include "platform/module_record.h"
#include "portula/portula_ids.h"
#include "support/comparison.h"

namespace {

namespace dispid = port_control::ids::dispid;

constexpr double kInvokeLimitNs = 150;

struct Component {
    platform::ModuleCounter counter;
    platform::ComPtr<port_control::PortulaObject> object =
        platform::makeObject<port_control::PortulaObject>(counter);
    port_control::IPortula* dual = object.get();
    platform::IDispatch* dispatch = object.get();
};

void check(platform::HRESULT hr) {
    if (platform::failed(hr))
        throw std::runtime_error("a call of the component failed");
}

void record(benchmark::State& state, const std::string& workload, const bench::Rounds& rounds) {
    const double invokeNs = rounds.medianSeconds(0) * 1e9;
    bench::recordRow(state, {workload, bench::formatNanoseconds(rounds.medianSeconds(0)),
                             bench::formatNanoseconds(rounds.medianSeconds(1)) + " direct",
                             rounds.medianRatio(0, 1),
                             bench::atMost(kInvokeLimitNs, "Invoke <= 150 ns").on(invokeNs)});
}

void BM_InvokeGetCommEvent(benchmark::State& state) {
    Component component;
    platform::DispParams none;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) {
                                       return bench::timeLoop(n, [&] {
                                           platform::Variant value;
                                           check(component.dispatch->Invoke(
                                               dispid::CommEvent, platform::DISPATCH_PROPERTYGET,
                                               none, &value, nullptr, nullptr));
                                           benchmark::DoNotOptimize(value);
                                       });
                                   },
                                   [&](size_t n) {
                                       return bench::timeLoop(n, [&] {
                                           int16_t value = 0;
                                           check(component.dual->get_CommEvent(&value));
                                           benchmark::DoNotOptimize(value);
                                       });
                                   }},
                                  bench::pick<size_t>(200000, 100));
    }
    record(state, "4. IDispatch::Invoke get CommEvent", rounds);
}
BENCHMARK(BM_InvokeGetCommEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_InvokePutRThreshold(benchmark::State& state) {
    Component component;
    platform::DispParams value =
        platform::DispParams::propertyPut(platform::Variant::fromInteger(1));
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds(
            {[&](size_t n) {
                 return bench::timeLoop(n, [&] {
                     check(component.dispatch->Invoke(dispid::RThreshold,
                                                      platform::DISPATCH_PROPERTYPUT, value,
                                                      nullptr, nullptr, nullptr));
                 });
             },
             [&](size_t n) {
                 return bench::timeLoop(n, [&] { check(component.dual->put_RThreshold(1)); });
             }},
            bench::pick<size_t>(200000, 100));
    }
    record(state, "4. IDispatch::Invoke put RThreshold", rounds);
}
BENCHMARK(BM_InvokePutRThreshold)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
