#include "io/safe_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "io/test_files.h"

namespace quandrel::io {
namespace {

// Three pages of a file, mapped, then cut to one page: the last two pages of
// the mapping now fault on access.
class TruncatedMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::string content(3 * page_, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    content_ = content;
    const std::string path = dir_.write("f", content);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
    map_ = static_cast<const char*>(::mmap(nullptr, 3 * page_, PROT_READ, MAP_SHARED, fd_, 0));
    ASSERT_NE(map_, MAP_FAILED);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(page_)), 0);
  }
  void TearDown() override {
    ::munmap(const_cast<char*>(map_), 3 * page_);
    ::close(fd_);
  }

  testing::TempDir dir_;
  std::string content_;
  std::size_t page_ = 0;
  int fd_ = -1;
  const char* map_ = nullptr;
};

TEST_F(TruncatedMapping, CopiesWhatRemainsAndReportsWhatIsGone) {
  std::string kept(100, '.');
  EXPECT_TRUE(safe_copy(kept.data(), map_ + 50, kept.size()));
  EXPECT_EQ(kept, content_.substr(50, 100));

  std::string gone(100, '.');
  EXPECT_FALSE(safe_copy(gone.data(), map_ + 2 * page_ + 10, gone.size()));
  // A copy that starts in the file and runs past its new end fails too.
  EXPECT_FALSE(safe_copy(gone.data(), map_ + page_ - 50, gone.size()));

  // A batch stops at the first failed op; the ones before it are complete.
  std::string a(8, '.'), b(8, '.'), c(8, '.');
  const CopyOp ops[] = {{a.data(), map_, 8}, {b.data(), map_ + 2 * page_, 8}, {c.data(), map_, 8}};
  EXPECT_EQ(safe_copy_many(ops), 1u);
  EXPECT_EQ(a, content_.substr(0, 8));
  EXPECT_EQ(c, "........");
  // The thread copies on normally after a recovered fault.
  EXPECT_EQ(safe_copy_many({ops, 1}), 1u);
}

TEST_F(TruncatedMapping, ThreadsRecoverTheirOwnFaultsAtOnce) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      char buf[64];
      for (int i = 0; i < 5000; ++i) {
        const bool gone_part = (i + t) % 2 == 0;
        const char* src = map_ + (gone_part ? 2 * page_ : 0) + i % 1000;
        if (safe_copy(buf, src, sizeof buf) == gone_part) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

void exit_42(int, siginfo_t*, void*) { ::_exit(42); }

// Faults that are not a copy's own reach the handler installed before ours,
// or the default action. Each runs in a fresh process, so that our handler is
// installed there after the test's own.
TEST_F(TruncatedMapping, OtherFaultsStillReachThePreviousHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const volatile char* gone = map_ + 2 * page_;
  EXPECT_EXIT(
      {
        install_copy_fault_handler();
        (void)*gone;
      },
      ::testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(
      {
        struct sigaction sa {};
        sa.sa_sigaction = exit_42;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, nullptr);
        install_copy_fault_handler();
        (void)*gone;
      },
      ::testing::ExitedWithCode(42), "");
  // The default action put back over ours (as faulthandler.disable() does)
  // is replaced again at the next opening.
  EXPECT_EXIT(
      {
        install_copy_fault_handler();
        signal(SIGBUS, SIG_DFL);
        install_copy_fault_handler();
        char buf[8];
        ::_exit(safe_copy(buf, const_cast<const char*>(gone), sizeof buf) ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  // Inside the copy, but on the destination: a caller's bug, not a shrunken
  // file, so it is not hidden.
  EXPECT_EXIT(
      {
        char* dst = static_cast<char*>(
            ::mmap(nullptr, page_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        safe_copy(dst, map_, 8);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
}  // namespace quandrel::io
