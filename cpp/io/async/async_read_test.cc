#include "io/async/async_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quandrel::io {
namespace {

using Outcome = AsyncRead::Outcome;

TEST(AsyncRead, FailuresEndTheRead) {
  std::size_t chunks = 0;
  AsyncRead failed(10, 4, [&](std::size_t first, std::size_t) -> Result<void> {
    ++chunks;
    if (first == 4) return IoError::os(5);
    return {};
  });
  failed.run();
  ASSERT_EQ(failed.outcome(), Outcome::kFailed);
  EXPECT_EQ(failed.error().os_code(), 5);
  EXPECT_EQ(chunks, 2u);

  AsyncRead faulted(1, 1, [](std::size_t, std::size_t) -> Result<void> { fault("broken"); });
  faulted.run();
  EXPECT_EQ(faulted.outcome(), Outcome::kFaulted);
  EXPECT_THROW(std::rethrow_exception(faulted.fault()), Fault);
}

// Reads of one source run as one batch; when that batch fails, each runs
// again alone and ends with its own outcome. A read cancelled while queued
// is left out of the batch.
TEST(AsyncRead, ReadsRunTogetherEndWithTheirOwnOutcome) {
  for (const bool batch_fails : {false, true}) {
    std::vector<int> written(4, 0);
    std::vector<std::vector<std::uint64_t>> ids = {{0}, {1, 2}, {3}, {4}};
    std::vector<std::size_t> batch_sizes;
    auto together = [&](std::span<const ItemsInto> batches) -> Result<void> {
      batch_sizes.push_back(batches.size());
      if (batch_fails) return IoError::os(5);
      for (const ItemsInto& b : batches) ++written[b.ids.front() == 0 ? 0 : b.ids.front() <= 2 ? 1 : 2];
      return {};
    };
    std::vector<std::shared_ptr<AsyncRead>> reads;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      auto alone = [&, i](std::size_t, std::size_t) -> Result<void> {
        if (i == 1) return IoError::os(7);  // this read's own failure
        ++written[i];
        return {};
      };
      reads.push_back(std::make_shared<AsyncRead>(ids[i].size(), 16, alone,
                                                  AsyncRead::Together{&written, {ids[i], nullptr}, together}));
    }
    ASSERT_TRUE(reads[3]->cancel());
    AsyncRead::run_together(reads);
    EXPECT_EQ(batch_sizes, std::vector<std::size_t>{3});
    EXPECT_EQ(reads[3]->outcome(), Outcome::kCancelled);
    if (batch_fails) {
      EXPECT_EQ(reads[0]->outcome(), Outcome::kOk);
      ASSERT_EQ(reads[1]->outcome(), Outcome::kFailed);
      EXPECT_EQ(reads[1]->error().os_code(), 7);
      EXPECT_EQ(reads[2]->outcome(), Outcome::kOk);
      EXPECT_EQ(written, (std::vector<int>{1, 0, 1, 0}));
    } else {
      for (int i = 0; i < 3; ++i) EXPECT_EQ(reads[i]->outcome(), Outcome::kOk);
      EXPECT_EQ(written, (std::vector<int>{1, 1, 1, 0}));
    }
  }
}

// Many reads run, cancelled and waited for from several threads; the reads
// borrow a vector that is destroyed right after their owner lets go of them.
TEST(AsyncRead, CancelWaitAndOwnersEndingAcrossThreads) {
  for (int round = 0; round < 20; ++round) {
    auto borrowed = std::make_unique<std::vector<int>>(16 * 64, 0);
    std::vector<std::shared_ptr<AsyncRead>> reads;
    {
      ReadsInFlight owner;
      for (int i = 0; i < 16; ++i) {
        auto read = std::make_shared<AsyncRead>(64, 8, [row = borrowed->data() + 64 * i](std::size_t a, std::size_t b) {
          for (std::size_t k = a; k < b; ++k) ++row[k];
          std::this_thread::yield();
          return Result<void>();
        });
        owner.add(read);
        reads.push_back(read);
        start_async(read);
      }
      std::thread canceller([&] {
        for (std::size_t i = 0; i < reads.size(); i += 2) reads[i]->cancel();
      });
      for (std::size_t i = 1; i < reads.size(); i += 2) EXPECT_TRUE(reads[i]->wait(std::nullopt));
      canceller.join();
    }
    // The owner's end waited for every read: none touches the vector now.
    for (std::size_t i = 0; i < reads.size(); ++i) {
      ASSERT_TRUE(reads[i]->done());
      const Outcome outcome = reads[i]->outcome();
      const int* row = borrowed->data() + 64 * i;
      if (i % 2 == 1) {
        EXPECT_EQ(outcome, Outcome::kOk);
      }
      if (outcome == Outcome::kOk) {
        EXPECT_EQ(std::count(row, row + 64, 1), 64);
      } else {
        EXPECT_EQ(outcome, Outcome::kCancelled);
      }
    }
    borrowed.reset();
  }
}

}  // namespace
}  // namespace quandrel::io
