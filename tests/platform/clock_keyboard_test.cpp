// The clock and the keyboard as the status line uses them.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/linux_platform.h"
#include "tests/platform/loopback.h"

namespace orvane::platform_test {
namespace {

std::int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(PlatformClock, TimeIsTheSystemClockInWholeSeconds) {
  LinuxPlatform platform;
  const std::int64_t before = SystemSeconds();
  const std::int64_t now = platform.time();
  const std::int64_t after = SystemSeconds();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

// A server started without a terminal (a service, a detached session) has no keyboard: no key
// press is ever reported, not even when there are bytes on its standard input.
TEST(PlatformKeyboard, NoControllingTerminalMeansNoKeys) {
  const int status = RunInChild([] {
    if (::setsid() < 0) return 10;
    int input[2];
    if (::pipe(input) != 0) return 11;
    if (::write(input[1],
                "\x1b"
                "q\n",
                3) != 3)
      return 12;
    if (::dup2(input[0], STDIN_FILENO) < 0) return 13;
    if (::open("/dev/tty", O_RDWR | O_NOCTTY) >= 0) return 14;  // a terminal after all
    LinuxPlatform platform;
    for (int i = 0; i < 3; ++i) {
      if (platform.kbhit()) return 1;
    }
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "child " << Describe(status);
  EXPECT_NE(WEXITSTATUS(status), 1) << "a key was reported without a terminal";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child " << Describe(status);
}

}  // namespace
}  // namespace orvane::platform_test
