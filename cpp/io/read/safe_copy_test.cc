#include "io/read/safe_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
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
    path_ = dir_.write("f", content_);
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    map_ = static_cast<const char*>(::mmap(nullptr, 3 * page_, PROT_READ, MAP_SHARED, fd, 0));
    ::close(fd);
    ASSERT_NE(map_, MAP_FAILED);
    ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(page_)), 0);
  }
  void TearDown() override { ::munmap(const_cast<char*>(map_), 3 * page_); }

  const std::size_t page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::string content_ = std::string(3 * page_, '\0');
  testing::TempDir dir_;
  std::string path_;
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

// Each case runs in a fresh process, whose handlers it sets up itself.
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

void touch(const char* p) { (void)*static_cast<const volatile char*>(p); }

// What a program's handler saw when a fault that is not ours reached it, as
// its exit status: 1 SIGUSR1 blocked (its mask), 2 SIGBUS blocked (no
// SA_NODEFER), 4 the disposition already back to the default (SA_RESETHAND),
// 8 the fault's own address (SA_SIGINFO).
const char* g_fault_at = nullptr;
void exit_with_what_it_saw(int sig, siginfo_t* info) {
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  struct sigaction now;
  sigaction(sig, nullptr, &now);
  ::_exit((sigismember(&blocked, SIGUSR1) ? 1 : 0) | (sigismember(&blocked, SIGBUS) ? 2 : 0) |
          (!(now.sa_flags & SA_SIGINFO) && now.sa_handler == SIG_DFL ? 4 : 0) |
          (info != nullptr && info->si_addr == g_fault_at ? 8 : 0));
}
void plain_handler(int sig) { exit_with_what_it_saw(sig, nullptr); }
void info_handler(int sig, siginfo_t* info, void*) { exit_with_what_it_saw(sig, info); }

struct sigaction program_handler(unsigned flags, bool mask_usr1) {
  struct sigaction sa {};
  if (flags & SA_SIGINFO) {
    sa.sa_sigaction = info_handler;
  } else {
    sa.sa_handler = plain_handler;
  }
  sa.sa_flags = static_cast<int>(flags);
  sigemptyset(&sa.sa_mask);
  if (mask_usr1) sigaddset(&sa.sa_mask, SIGUSR1);
  return sa;
}

// A program installs its handler after ours: the next batch puts ours back in
// front, recovers its own faults, and hands every other fault to that
// handler as the kernel would.
TEST_F(TruncatedMapping, HandlersInstalledLaterGoBehindOursAndSeeOtherFaultsAsUsual) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* gone = map_ + 2 * page_;
  struct Case {
    unsigned flags;
    bool mask_usr1;
    int saw;
  };
  for (const Case c : {Case{SA_SIGINFO, true, 1 | 2 | 8}, Case{SA_SIGINFO | SA_NODEFER, false, 8},
                       Case{SA_SIGINFO | SA_RESETHAND, false, 2 | 4 | 8}, Case{0, true, 1 | 2}}) {
    EXPECT_EXIT(
        {
          keep_copy_fault_handler_first();
          const struct sigaction sa = program_handler(c.flags, c.mask_usr1);
          sigaction(SIGBUS, &sa, nullptr);
          keep_copy_fault_handler_first();
          char buf[8];
          if (safe_copy(buf, gone, sizeof buf)) ::_exit(99);
          g_fault_at = gone;
          touch(gone);
        },
        ::testing::ExitedWithCode(c.saw), "")
        << c.flags;
  }
  // In the copy, but on its destination: a caller's bug, not a shrunk file.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  void* writable = ::mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(writable, MAP_FAILED);
  EXPECT_EXIT(safe_copy(static_cast<char*>(writable) + 2 * page_, map_, 8), dies_of(SIGBUS), "");
  ::munmap(writable, 3 * page_);
}

// A handler installed over ours that calls the one it found (ours, which
// hands on to what was behind ours then), not itself again.
struct sigaction g_found;
void chaining_handler(int sig, siginfo_t* info, void* context) {
  static const char kText[] = "chained\n";
  (void)!::write(2, kText, sizeof kText - 1);
  g_found.sa_sigaction(sig, info, context);
}

TEST_F(TruncatedMapping, AHandlerChainingToOursReachesWhatWasBehindOurs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* gone = map_ + 2 * page_;
  EXPECT_EXIT(
      {
        keep_copy_fault_handler_first();
        struct sigaction sa {};
        sa.sa_sigaction = chaining_handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_found);
        keep_copy_fault_handler_first();
        touch(gone);
      },
      dies_of(SIGBUS), "chained");
  // Handlers stacked over ours without end: copies refuse rather than fault
  // in front of a handler that would not recover them.
  EXPECT_EXIT(
      {
        const struct sigaction sa = program_handler(SA_SIGINFO, false);
        for (int i = 0; i < 100; ++i) {
          sigaction(SIGBUS, &sa, nullptr);
          keep_copy_fault_handler_first();
        }
        char buf[8];
        ::_exit(safe_copy(buf, gone, sizeof buf) || safe_copy(buf, map_, sizeof buf) ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quandrel::io
