#include "diagnostics/singleton.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Types at global scope so that their names read as the tracker sees them;
// "LoggerProbe" begins with the 12 characters "class Logger" like the real
// Logger and is therefore destroyed last.
std::vector<std::string>* destroyed = nullptr;

struct SecondUsed {
  ~SecondUsed() { destroyed->push_back("SecondUsed"); }
};
struct FirstUsed {
  ~FirstUsed() {
    // Asking for a singleton destroyed earlier in the same pass yields
    // nothing and creates nothing.
    if (destroyed->size() == 1) {
      seenDuringTeardown = wl::Singleton<SecondUsed>::GetInstance([] { return new SecondUsed; }) != nullptr;
    }
    destroyed->push_back("FirstUsed");
  }
  static inline bool seenDuringTeardown = true;
};
struct LoggerProbe {
  ~LoggerProbe() { destroyed->push_back("LoggerProbe"); }
};
struct Registered {};
struct ThrowsOnCreation {};

namespace wl {
namespace {

TEST(LifetimeTracker, KeepsOneEntryPerTypeNamedAsAClass) {
  auto& tracker = LifetimeTracker::Instance();
  std::size_t before = tracker.Count();
  EXPECT_EQ(tracker.Register<Registered>([] {}), LifetimeTracker::kAdded);
  EXPECT_EQ(tracker.Register<Registered>([] {}), LifetimeTracker::kAlreadyRegistered);
  EXPECT_EQ(tracker.Count(), before + 1);
  tracker.DestroyAll();
  EXPECT_EQ(tracker.Count(), 0u);
  EXPECT_EQ(ReadableTypeName(typeid(LoggerProbe)), "class LoggerProbe");
}

TEST(Singleton, DestroysInReverseOrderOfFirstUseWithTheLoggerLast) {
  std::vector<std::string> order;
  destroyed = &order;
  LifetimeTracker::Instance().DestroyAll();
  auto first = Singleton<FirstUsed>::GetInstance([] { return new FirstUsed; });
  auto logger = Singleton<LoggerProbe>::GetInstance([] { return new LoggerProbe; });
  auto second = Singleton<SecondUsed>::GetInstance([] { return new SecondUsed; });
  ASSERT_TRUE(first && logger && second);
  EXPECT_EQ(Singleton<FirstUsed>::GetInstance([] { return new FirstUsed; }), first);
  first.reset();
  logger.reset();
  second.reset();

  LifetimeTracker::Instance().DestroyAll();
  EXPECT_EQ(order, (std::vector<std::string>{"SecondUsed", "FirstUsed", "LoggerProbe"}));
  EXPECT_FALSE(FirstUsed::seenDuringTeardown);

  // After teardown a later request creates the instance anew.
  auto again = Singleton<FirstUsed>::GetInstance([] { return new FirstUsed; });
  EXPECT_NE(again, nullptr);
  again.reset();
  LifetimeTracker::Instance().DestroyAll();
  destroyed = nullptr;
}

TEST(Singleton, ObjectOutlivesTeardownWhileACallerHoldsIt) {
  std::vector<std::string> order;
  destroyed = &order;
  auto held = Singleton<FirstUsed>::GetInstance([] { return new FirstUsed; });
  LifetimeTracker::Instance().DestroyAll();
  EXPECT_TRUE(order.empty());
  held.reset();
  EXPECT_EQ(order, std::vector<std::string>{"FirstUsed"});
  destroyed = nullptr;
}

TEST(Singleton, CreatorThatThrowsLeavesTheInstanceEmpty) {
  EXPECT_THROW(Singleton<ThrowsOnCreation>::GetInstance([]() -> ThrowsOnCreation* { throw std::bad_alloc(); }),
               std::bad_alloc);
  EXPECT_EQ(Singleton<ThrowsOnCreation>::GetInstance([] { return new ThrowsOnCreation; }), nullptr);
  LifetimeTracker::Instance().DestroyAll();
  EXPECT_NE(Singleton<ThrowsOnCreation>::GetInstance([] { return new ThrowsOnCreation; }), nullptr);
  LifetimeTracker::Instance().DestroyAll();
}

}  // namespace
}  // namespace wl
