#include "platform/com/com_object.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/com/error_info.h"
#include "platform/com/tests/marker_interface.h"

namespace vorlane::com {
namespace {

struct IFoo : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("5C1B1E10-0001-4000-8000-000000000001");
  virtual int Foo() = 0;

 protected:
  ~IFoo() = default;
};

struct IFooEx : IFoo {
  using Base = IFoo;
  static constexpr IID kIid = GuidLiteral("5C1B1E10-0002-4000-8000-000000000002");
  virtual int FooEx() = 0;

 protected:
  ~IFooEx() = default;
};

struct IBar : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("5C1B1E10-0003-4000-8000-000000000003");
  virtual int Bar() = 0;

 protected:
  ~IBar() = default;
};

using IBaz = MarkerInterface<IUnknown, GuidLiteral("5C1B1E10-0004-4000-8000-000000000004")>;

// What happened to objects, kept outside them so it can be read after they are gone.
struct Record {
  int destroyed = 0;
  int extraQueries = 0;
  bool tryAddRefInDestructor = true;
};

class Widget final : public ComObject<Widget, IFooEx, IBar> {
 public:
  explicit Widget(Record* record) : record_(record) {}
  int Foo() override { return 1; }
  int FooEx() override { return 2; }
  int Bar() override { return 3; }

 protected:
  HRESULT QueryInterfaceExtra(const IID& iid, void** object) override {
    ++record_->extraQueries;
    if (iid != IBaz::kIid) return E_NOINTERFACE;
    // Answered as the first interface: IBaz adds no methods, so any IUnknown serves.
    AddRef();
    *object = Identity();
    return S_OK;
  }

 private:
  ~Widget() override {
    // A destructor that takes and drops references (as unregistering would) must not recurse.
    AddRef();
    ComPtr<IBar> bar;
    (void)QueryInterface(IBar::kIid, bar.put_void());
    bar.reset();
    Release();
    record_->tryAddRefInDestructor = TryAddRef();
    ++record_->destroyed;
  }

  Record* record_;
};

using IDual1 = MarkerInterface<IDispatch, GuidLiteral("5C1B1E10-0005-4000-8000-000000000005")>;
using IDual2 = MarkerInterface<IDispatch, GuidLiteral("5C1B1E10-0006-4000-8000-000000000006")>;

class TwoDuals final : public ComObject<TwoDuals, IDual1, IDual2> {
 public:
  HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, const IID&, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*, uint32_t*) override {
    return E_NOTIMPL;
  }

 private:
  ~TwoDuals() override = default;
};

// Default-constructible, as a class factory needs.
class Gadget final : public ComObject<Gadget, IFoo> {
 public:
  int Foo() override { return 7; }

 private:
  ~Gadget() override = default;
};

class Throwing final : public ComObject<Throwing, IFoo> {
 public:
  Throwing() { throw std::runtime_error("no"); }
  int Foo() override { return 0; }

 private:
  ~Throwing() override = default;
};

// Every test must leave no object of this program alive.
class ComObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ModuleObjectCount().load(), 0); }
  void TearDown() override {
    EXPECT_EQ(ModuleObjectCount().load(), 0);
    EXPECT_EQ(ModuleLockCount().load(), 0);
  }

  Record record_;
};

TEST_F(ComObjectTest, QueryInterfaceFollowsEachBaseChain) {
  ComPtr<Widget> widget = Make<Widget>(&record_);
  ComPtr<IFoo> foo;
  ASSERT_EQ(widget->QueryInterface(IFoo::kIid, foo.put_void()), S_OK);
  EXPECT_EQ(foo.get(), static_cast<IFoo*>(static_cast<IFooEx*>(widget.get())));
  EXPECT_EQ(foo->Foo(), 1);
  ComPtr<IFooEx> fooEx;
  ASSERT_EQ(foo->QueryInterface(IFooEx::kIid, fooEx.put_void()), S_OK);
  EXPECT_EQ(fooEx->FooEx(), 2);
  ComPtr<IBar> bar = foo.As<IBar>();
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->Bar(), 3);
  EXPECT_EQ(record_.extraQueries, 0);  // listed interfaces never reach the hook
}

TEST_F(ComObjectTest, IUnknownIsTheSamePointerFromEveryInterface) {
  ComPtr<Widget> widget = Make<Widget>(&record_);
  ComPtr<IUnknown> fromFoo = ComPtr<IFoo>(widget).As<IUnknown>();
  ComPtr<IUnknown> fromBar = ComPtr<IBar>(widget).As<IUnknown>();
  ASSERT_TRUE(fromFoo && fromBar);
  EXPECT_EQ(fromFoo.get(), fromBar.get());
  EXPECT_EQ(fromFoo.get(), static_cast<IUnknown*>(static_cast<IFooEx*>(widget.get())));
  EXPECT_NE(static_cast<void*>(static_cast<IBar*>(widget.get())), static_cast<void*>(fromFoo.get()));
}

TEST_F(ComObjectTest, FirstDispatchInterfaceAnswersIDispatch) {
  ComPtr<TwoDuals> object = Make<TwoDuals>();
  ComPtr<IDispatch> dispatch = ComPtr<IDual2>(object).As<IDispatch>();
  ASSERT_TRUE(dispatch);
  EXPECT_EQ(dispatch.get(), static_cast<IDispatch*>(static_cast<IDual1*>(object.get())));
  EXPECT_TRUE(ComPtr<IDual1>(object).As<IDual2>());
}

TEST_F(ComObjectTest, UnknownInterfacesAreRefusedThroughTheHook) {
  ComPtr<Widget> widget = Make<Widget>(&record_);
  void* out = widget.get();
  EXPECT_EQ(widget->QueryInterface(IDual1::kIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(record_.extraQueries, 1);
  EXPECT_EQ(widget->QueryInterface(IFoo::kIid, nullptr), E_POINTER);
  ComPtr<IBaz> baz;
  EXPECT_EQ(widget->QueryInterface(IBaz::kIid, baz.put_void()), S_OK);
  EXPECT_EQ(record_.extraQueries, 2);
  EXPECT_EQ(widget->AddRef(), 3u);  // the Make reference, the IBaz one, this one
  EXPECT_EQ(widget->Release(), 2u);
}

TEST_F(ComObjectTest, LastReleaseDestroysExactlyOnce) {
  IFoo* foo = Make<Widget>(&record_).detach();
  EXPECT_EQ(ModuleObjectCount().load(), 1);
  EXPECT_EQ(foo->AddRef(), 2u);
  EXPECT_EQ(foo->Release(), 1u);
  EXPECT_EQ(record_.destroyed, 0);
  EXPECT_EQ(foo->Release(), 0u);
  EXPECT_EQ(record_.destroyed, 1);  // the destructor's own AddRef/Release did not recurse
  EXPECT_FALSE(record_.tryAddRefInDestructor);
}

TEST_F(ComObjectTest, TryAddRefSucceedsWhileAlive) {
  ComPtr<Widget> widget = Make<Widget>(&record_);
  ASSERT_TRUE(widget->TryAddRef());
  EXPECT_EQ(widget->Release(), 1u);
}

TEST_F(ComObjectTest, ConcurrentReferencesDestroyOnce) {
  ComPtr<Widget> widget = Make<Widget>(&record_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([raw = widget.get()] {
      for (int i = 0; i < 20000; ++i) {
        raw->AddRef();
        raw->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(record_.destroyed, 0);
  widget.reset();
  EXPECT_EQ(record_.destroyed, 1);
}

TEST_F(ComObjectTest, ModuleCountFollowsObjectsAndLocks) {
  EXPECT_EQ(DllCanUnloadNowHelper(), S_OK);
  {
    std::vector<ComPtr<Widget>> widgets{Make<Widget>(&record_), Make<Widget>(&record_), Make<Widget>(&record_)};
    EXPECT_EQ(ModuleObjectCount().load(), 3);
    EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);
  }
  EXPECT_EQ(ModuleObjectCount().load(), 0);
  EXPECT_EQ(record_.destroyed, 3);
  EXPECT_EQ(DllCanUnloadNowHelper(), S_OK);
}

TEST_F(ComObjectTest, RuntimeObjectsCountInTheRuntimeOnly) {
  const long runtimeBefore = RuntimeObjectCount();
  {
    ComPtr<IErrorInfo> info = CreateErrorInfo(IFoo::kIid, u"test", u"made by the runtime");
    EXPECT_EQ(RuntimeObjectCount(), runtimeBefore + 1);
    EXPECT_EQ(ModuleObjectCount().load(), 0);  // this program's counter did not move
  }
  EXPECT_EQ(RuntimeObjectCount(), runtimeBefore);
}

TEST_F(ComObjectTest, ConstructorThatThrowsLeavesNoCount) {
  EXPECT_THROW(Make<Throwing>(), std::runtime_error);
  EXPECT_EQ(ModuleObjectCount().load(), 0);
}

TEST_F(ComObjectTest, ClassFactoryCreatesAndRefusesAggregation) {
  ComPtr<IClassFactory> factory = Make<ClassFactory<Gadget>>();
  ComPtr<Widget> outer = Make<Widget>(&record_);
  void* object = outer.get();
  EXPECT_EQ(factory->CreateInstance(static_cast<IFoo*>(outer.get()), IFoo::kIid, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ModuleObjectCount().load(), 2);  // no Gadget was made
  ComPtr<IFoo> gadget;
  ASSERT_EQ(factory->CreateInstance(nullptr, IFoo::kIid, gadget.put_void()), S_OK);
  EXPECT_EQ(gadget->Foo(), 7);
  ComPtr<IBar> none;
  EXPECT_EQ(factory->CreateInstance(nullptr, IBar::kIid, none.put_void()), E_NOINTERFACE);
  EXPECT_EQ(ModuleObjectCount().load(), 3);  // the refused one is gone again
  EXPECT_EQ(factory->CreateInstance(nullptr, IFoo::kIid, nullptr), E_POINTER);
  ComPtr<IClassFactory> throwing = Make<ClassFactory<Throwing>>();
  EXPECT_EQ(throwing->CreateInstance(nullptr, IFoo::kIid, gadget.put_void()), E_FAIL);
}

TEST_F(ComObjectTest, LockServerKeepsTheModuleLoaded) {
  ComPtr<IClassFactory> factory = Make<ClassFactory<Gadget>>();
  EXPECT_EQ(factory->LockServer(1), S_OK);
  IClassFactory* kept = factory.get();
  kept->AddRef();
  factory.reset();
  EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);
  EXPECT_EQ(kept->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);  // the factory itself still lives
  kept->Release();
  EXPECT_EQ(DllCanUnloadNowHelper(), S_OK);
}

TEST(ComObjectCatchReturn, MapsExceptionsToCodes) {
  EXPECT_EQ(CatchReturn([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(CatchReturn([]() -> HRESULT { throw std::runtime_error("x"); }), E_FAIL);
  EXPECT_EQ(CatchReturn([]() -> HRESULT { throw 42; }), E_FAIL);
  EXPECT_EQ(CatchReturn([] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(CatchReturn([] { return E_ACCESSDENIED; }), E_ACCESSDENIED);
  int calls = 0;
  EXPECT_EQ(CatchReturn([&] { ++calls; }), S_OK);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vorlane::com
