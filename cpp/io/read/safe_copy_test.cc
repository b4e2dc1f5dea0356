#include "io/read/safe_copy.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "io/test_files.h"

namespace quandrel::io {
namespace {

// Three pages of a file, mapped, then cut to one page: the last two pages of
// the mapping fault on access.
class TruncatedMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 7);
    const std::string path = dir_.write("f", content_);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    map_ = static_cast<const char*>(::mmap(nullptr, 3 * page_, PROT_READ, MAP_SHARED, fd, 0));
    ::close(fd);
    ASSERT_NE(map_, MAP_FAILED);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(page_)), 0);
  }
  void TearDown() override { ::munmap(const_cast<char*>(map_), 3 * page_); }

  const std::size_t page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::string content_ = std::string(3 * page_, '\0');
  testing::TempDir dir_;
  const char* map_ = nullptr;
};

TEST_F(TruncatedMapping, CopiesWhatRemainsAndReportsWhatIsGone) {
  std::string a(100, '.'), b(8, '.'), c(8, '.');
  EXPECT_TRUE(safe_copy(a.data(), map_ + 50, a.size()));
  EXPECT_EQ(a, content_.substr(50, 100));
  // Across the new end, too. A batch stops at its first failed op.
  EXPECT_FALSE(safe_copy(a.data(), map_ + page_ - 50, a.size()));
  const CopyOp ops[] = {{b.data(), map_, 8}, {c.data(), map_ + 2 * page_, 8}, {c.data(), map_, 8}};
  EXPECT_EQ(safe_copy_many(ops), 1u);
  EXPECT_EQ(b, content_.substr(0, 8));

  // Threads at once, each recovering its own faults and no other's.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      char buf[64];
      for (int i = 0; i < 5000; ++i) {
        const bool gone = (i + t) % 2 == 0;
        if (safe_copy(buf, map_ + (gone ? 2 * page_ : 0) + i % 1000, sizeof buf) == gone) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

void exit_42(int, siginfo_t*, void*) { ::_exit(42); }

// Each case runs in a fresh process, so that our handler is installed there
// after the one the case sets up.
// Killed by `sig`; under the address sanitizer its own handler is the one
// found before ours, and reaching it ends the process with its report
// (status 1, or SIGABRT with abort_on_error) instead.
auto dies_of(int sig) {
  return [sig](int status) {
#if defined(__SANITIZE_ADDRESS__)
    if ((WIFEXITED(status) && WEXITSTATUS(status) == 1) ||
        (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT)) {
      return true;
    }
#endif
    return WIFSIGNALED(status) && WTERMSIG(status) == sig;
  };
}

TEST_F(TruncatedMapping, OtherFaultsStillReachThePreviousHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* gone = map_ + 2 * page_;
  auto touch = [](const char* p) { (void)*static_cast<const volatile char*>(p); };
  EXPECT_EXIT((install_copy_fault_handler(), touch(gone)), dies_of(SIGBUS), "");
  EXPECT_EXIT(
      {
        struct sigaction sa {};
        sa.sa_sigaction = exit_42;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGBUS, &sa, nullptr);
        install_copy_fault_handler();
        touch(gone);
      },
      ::testing::ExitedWithCode(42), "");
  // In the copy, but on its destination: a caller's bug, not a shrunk file.
  char* read_only = static_cast<char*>(
      ::mmap(nullptr, page_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  EXPECT_EXIT(safe_copy(read_only, map_, 8), dies_of(SIGSEGV), "");
  // The default action put back over ours, as faulthandler.disable() does, is
  // replaced again at the next opening.
  EXPECT_EXIT(
      {
        install_copy_fault_handler();
        signal(SIGBUS, SIG_DFL);
        install_copy_fault_handler();
        char buf[8];
        ::_exit(safe_copy(buf, gone, sizeof buf) ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quandrel::io
