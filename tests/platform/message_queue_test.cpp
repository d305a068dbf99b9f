// The thread message queue: the same cases on Linux's queues and on the
// Windows API under Wine.
#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/system.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

TEST(ThreadMessageQueue, PostsReachTheThreadInOrderAndQuitEndsTheLoop) {
  std::atomic<std::uint32_t> threadId{0};
  std::atomic<bool> ready{false};
  std::vector<std::uint32_t> seen;
  int last = 2;
  std::thread loop([&] {
    platform::EnsureThreadMessageQueue();
    threadId = platform::GetCurrentThreadId();
    ready = true;
    platform::ThreadMessage message;
    while ((last = platform::GetMessageW(&message)) > 0) {
      platform::TranslateMessage(message);
      platform::DispatchMessageW(message);
      seen.push_back(message.message);
      EXPECT_EQ(message.wParam, message.message + 1);
    }
  });
  ASSERT_TRUE(test::WaitUntil([&] { return ready.load(); }));
  // Posted before the loop thread asks: kept by the queue it made first.
  for (std::uint32_t message : {0x0400u, 0x0401u, 0x0402u}) {
    EXPECT_EQ(platform::PostThreadMessageW(threadId, message, message + 1), 0u);
  }
  EXPECT_EQ(platform::PostThreadMessageW(threadId, platform::kWmQuit), 0u);
  loop.join();
  EXPECT_EQ(last, 0);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0x0400u, 0x0401u, 0x0402u}));
}

TEST(ThreadMessageQueue, AThreadWithoutAQueueRefusesPosts) {
  std::uint32_t ended = 0;
  std::thread([&] { ended = platform::GetCurrentThreadId(); }).join();
  // Windows says 1444; Wine says 87.
  Win32Error expected = test::OnWindows() ? 87u : 1444u;
  EXPECT_EQ(platform::PostThreadMessageW(ended, platform::kWmQuit), expected);

  // A queue goes with its thread.
  std::uint32_t hadQueue = 0;
  std::thread([&] {
    platform::EnsureThreadMessageQueue();
    hadQueue = platform::GetCurrentThreadId();
  }).join();
  EXPECT_EQ(platform::PostThreadMessageW(hadQueue, platform::kWmQuit), expected);
}

}  // namespace
}  // namespace wl
