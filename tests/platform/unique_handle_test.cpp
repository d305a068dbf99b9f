// The owner of a handle: each handle it held is closed exactly once, whatever
// moves, resets and releases came between.
#include "platform/unique_handle.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>
#include <vector>

namespace wl::platform {
namespace {

// Every handle the closer met, in order; a handle closed twice shows twice.
std::vector<int> closed;

int CountClose(int handle) {
  closed.push_back(handle);
  return handle * 10;
}

using Counted = UniqueHandle<int, &CountClose, -1>;

class UniqueHandleTest : public testing::Test {
 protected:
  void SetUp() override { closed.clear(); }
};

static_assert(!std::is_copy_constructible_v<Counted> && !std::is_copy_assignable_v<Counted>);
static_assert(std::is_nothrow_move_constructible_v<Counted> && std::is_nothrow_move_assignable_v<Counted>);

TEST_F(UniqueHandleTest, ClosesOnceWhenItGoesAndNeverWhatItDoesNotHold) {
  {
    Counted none;
    EXPECT_FALSE(none);
    Counted zero(0);  // 0 is a handle here: only -1 is none
    EXPECT_TRUE(zero.Valid());
    Counted held(7);
    EXPECT_EQ(held.Get(), 7);
  }
  EXPECT_EQ(closed, (std::vector<int>{7, 0}));
}

TEST_F(UniqueHandleTest, AMoveHandsOverAndLeavesNothingBehind) {
  {
    Counted first(3);
    Counted second(std::move(first));
    EXPECT_FALSE(first.Valid());  // NOLINT(bugprone-use-after-move): a moved-from owner owns nothing
    EXPECT_EQ(second.Get(), 3);
    Counted third(4);
    third = std::move(second);  // closes 4, takes 3
    EXPECT_EQ(closed, (std::vector<int>{4}));
    auto& self = third;
    third = std::move(self);
    EXPECT_EQ(third.Get(), 3);
  }
  EXPECT_EQ(closed, (std::vector<int>{4, 3}));
}

TEST_F(UniqueHandleTest, ResetReleaseCloseAndReceive) {
  Counted handle(1);
  handle.Reset(2);
  EXPECT_EQ(closed, (std::vector<int>{1}));
  EXPECT_EQ(handle.Release(), 2);  // given up: never closed
  EXPECT_FALSE(handle);
  EXPECT_EQ(handle.Close(), 0);  // nothing held: no call
  handle.Reset(5);
  EXPECT_EQ(handle.Close(), 50);  // the closer's own result
  EXPECT_FALSE(handle);
  handle.Reset(6);
  int* out = handle.Receive();  // the old handle goes before the new one comes
  EXPECT_EQ(closed, (std::vector<int>{1, 5, 6}));
  *out = 8;
  handle.Reset();
  EXPECT_EQ(closed, (std::vector<int>{1, 5, 6, 8}));
}

}  // namespace
}  // namespace wl::platform
