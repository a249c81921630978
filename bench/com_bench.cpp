// The cost of the component layer's basic operations, measured on the ticker test component that
// the build registers into its own class registry: activation from a loaded module, a late-bound
// call in the caller's apartment, and a call marshalled into another thread's apartment.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/late_binding.h"
#include "platform/com/marshal.h"
#include "platform/com/tests/fixture_component/ticker.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"

namespace {

using namespace vorlane::com;
using vorlane::com::testing::ITicker;
using vorlane::com::testing::kTickerAdd;
using vorlane::com::testing::kTickerClsid;

// The build tree's registry, unless the caller chose another one.
[[maybe_unused]] const bool kRegistryChosen = [] { return ::setenv("VORLANE_CLASS_REGISTRY", VORLANE_BENCH_CLASS_REGISTRY, 0) == 0; }();

// Add(a, b) late-bound.
HRESULT InvokeAdd(IDispatch* target, int32_t a, int32_t b, int32_t* sum) {
  return CallMethodFor(target, kTickerAdd, {Variant(a), Variant(b)}, sum);
}

void BM_CreateInstanceFromLoadedModule(benchmark::State& state) {
  ApartmentScope apartment;
  ComPtr<ITicker> keeper;  // keeps the module loaded, so only activation is measured
  if (Failed(apartment.result()) || Failed(CoCreateInstance(kTickerClsid, &keeper))) {
    state.SkipWithError("the ticker component is not registered");
    return;
  }
  for (auto _ : state) {
    ComPtr<ITicker> ticker;
    if (Failed(CoCreateInstance(kTickerClsid, &ticker))) {
      state.SkipWithError("CoCreateInstance failed");
      break;
    }
    benchmark::DoNotOptimize(ticker.get());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_CreateInstanceFromLoadedModule);

void BM_LateBoundAddSameApartment(benchmark::State& state) {
  ApartmentScope apartment;
  ComPtr<IDispatch> ticker;
  if (Failed(apartment.result()) ||
      Failed(CoCreateInstance(kTickerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, ticker.put_void()))) {
    state.SkipWithError("the ticker component is not registered");
    return;
  }
  int32_t a = 0;
  for (auto _ : state) {
    int32_t sum = 0;
    if (Failed(InvokeAdd(ticker.get(), a, 1, &sum))) {
      state.SkipWithError("Invoke failed");
      break;
    }
    a = sum;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_LateBoundAddSameApartment);

// The object's own thread: an apartment that owns the ticker and runs its loop until told to
// quit. The ticker is handed out marshalled.
class OwnerThread {
 public:
  OwnerThread() {
    std::promise<void> ready;
    std::future<void> started = ready.get_future();
    thread_ = std::thread([this, &ready] {
      ApartmentScope apartment;
      {
        ComPtr<IDispatch> ticker;
        hr_ = apartment.result();
        if (Succeeded(hr_)) {
          hr_ = CoCreateInstance(kTickerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, ticker.put_void());
        }
        if (Succeeded(hr_)) hr_ = MarshalledInterface::Create(IDispatch::kIid, ticker.get(), &token_);
        loop_ = vorlane::loop::MessageLoop::ForCurrentThread();
        ready.set_value();
        if (Succeeded(hr_)) (void)loop_->Run();
      }
    });
    started.wait();
  }
  ~OwnerThread() {
    token_.reset();  // its reference goes back to the owner's loop, ahead of the quit
    loop_->PostQuit();
    thread_.join();
  }
  OwnerThread(const OwnerThread&) = delete;
  OwnerThread& operator=(const OwnerThread&) = delete;

  HRESULT result() const { return hr_; }
  const MarshalledInterface& token() const { return *token_; }

 private:
  HRESULT hr_ = E_UNEXPECTED;
  std::unique_ptr<MarshalledInterface> token_;
  std::shared_ptr<vorlane::loop::MessageLoop> loop_;
  std::thread thread_;
};

// One call's round trip through a proxy into the owner's apartment and back. Each iteration is
// timed on its own so that the median and the 99th percentile can be reported beside the mean.
void BM_MarshalledAddRoundTrip(benchmark::State& state) {
  ApartmentScope apartment;
  OwnerThread owner;
  ComPtr<IDispatch> proxy;
  if (Failed(apartment.result()) || Failed(owner.result()) ||
      Failed(owner.token().Unmarshal(IDispatch::kIid, proxy.put_void()))) {
    state.SkipWithError("no marshalled ticker");
    return;
  }
  std::vector<double> durations;
  durations.reserve(1 << 16);
  int32_t a = 0;
  for (auto _ : state) {
    int32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = InvokeAdd(proxy.get(), a, 1, &sum);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (Failed(hr)) {
      state.SkipWithError("marshalled Invoke failed");
      break;
    }
    a = sum;
    state.SetIterationTime(elapsed.count());
    if (durations.size() < durations.capacity()) durations.push_back(elapsed.count() * 1e9);
  }
  proxy = nullptr;
  if (durations.empty()) return;
  auto percentile = [&](double p) {
    const size_t index = std::min(durations.size() - 1, static_cast<size_t>(p * static_cast<double>(durations.size())));
    std::nth_element(durations.begin(), durations.begin() + static_cast<std::ptrdiff_t>(index), durations.end());
    return durations[index];
  };
  state.counters["median_ns"] = percentile(0.5);
  state.counters["p99_ns"] = percentile(0.99);
}
BENCHMARK(BM_MarshalledAddRoundTrip)->UseManualTime();

}  // namespace
