#include "diagnostics/background_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

namespace wl {
namespace {

using Batches = std::vector<std::vector<int>>;

// A worker whose handler records each batch it is given.
struct RecordingWorker {
  explicit RecordingWorker(StopMode mode, const std::function<void()>& onBatch = {})
      : worker(
            [this, onBatch](std::vector<int>& batch) {
              if (onBatch) onBatch();
              seen.push_back(batch);
              batch.clear();
            },
            {.stopMode = mode}) {}
  void Post(int value) {
    worker.Post([value](std::vector<int>& queue) { queue.push_back(value); });
  }
  Batches seen;  // only read after Stop
  BackgroundWorker<std::vector<int>> worker;
};

TEST(BackgroundWorker, DrainingStopHandlesEverythingPostedInOrder) {
  RecordingWorker recording(StopMode::Drain);
  recording.Post(1);
  recording.Post(2);
  recording.worker.Start();
  recording.Post(3);
  recording.worker.Stop();
  std::vector<int> all;
  for (const auto& batch : recording.seen) all.insert(all.end(), batch.begin(), batch.end());
  EXPECT_EQ(all, (std::vector<int>{1, 2, 3}));
  // Work posted after the stop is never handled, and nothing waits for it.
  recording.Post(4);
  recording.worker.WaitUntilHandled();
  EXPECT_FALSE(recording.worker.Running());
}

TEST(BackgroundWorker, TakesEverythingPostedMeanwhileInOneBatch) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> batches{0};
  RecordingWorker recording(StopMode::Discard, [&] {
    if (batches++ == 0) {
      entered.set_value();
      released.wait();
    }
  });
  recording.worker.Start();
  recording.Post(1);
  entered.get_future().wait();
  // Posted while the first batch is in hand: one batch for both.
  recording.Post(2);
  recording.Post(3);
  release.set_value();
  recording.worker.WaitUntilHandled();
  ASSERT_EQ(recording.seen, (Batches{{1}, {2, 3}}));
}

}  // namespace
}  // namespace wl
