#include "diagnostics/singleton.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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
// Like the Logger: its destructor waits for a thread of its own, which asks
// for a singleton on its way out (the Logger's last report).
struct AskedOnTheWayOut {};
struct WaitsForItsThread {
  WaitsForItsThread()
      : thread([this] {
          stop.get_future().wait();
          askedGotNothing =
              wl::Singleton<AskedOnTheWayOut>::GetInstance([] { return new AskedOnTheWayOut; }) == nullptr;
        }) {}
  ~WaitsForItsThread() {
    stop.set_value();
    thread.join();
  }
  std::promise<void> stop;
  std::thread thread;
  static inline bool askedGotNothing = false;
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

TEST(Singleton, TeardownLetsAThreadItWaitsForAskForASingleton) {
  (void)Singleton<WaitsForItsThread>::GetInstance([] { return new WaitsForItsThread; });
  (void)Singleton<AskedOnTheWayOut>::GetInstance([] { return new AskedOnTheWayOut; });
  auto teardown = std::async(std::launch::async, [] { LifetimeTracker::Instance().DestroyAll(); });
  if (teardown.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    // Deadlocked: the thread cannot be freed, so the program cannot go on.
    std::cerr << "DestroyAll waits for a thread that waits for DestroyAll\n";
    std::abort();
  }
  // AskedOnTheWayOut, used last, went first: the late request got nothing
  // and created nothing.
  EXPECT_TRUE(WaitsForItsThread::askedGotNothing);
  EXPECT_EQ(LifetimeTracker::Instance().Count(), 0u);
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
