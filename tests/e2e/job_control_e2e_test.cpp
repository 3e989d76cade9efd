// Job control, as an operator uses it from a shell: Ctrl+Z stops the server and gives the
// terminal back as it was, SIGCONT lets it go on, `bg` and `fg` move it between the
// background and the foreground of its terminal. In the background it serves and leaves the
// terminal alone; in the foreground it takes up its key mode, and ESC ends it.
//
// The server runs under a session leader that plays the shell: it owns the terminal and
// moves the foreground when the test asks. A server that led its own session would never be
// stopped by Ctrl+Z: the system does not stop a process group without a parent in its session
// outside the group, since no one would be there to continue it.

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/e2e/terminal_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kCtrlZ = "\x1a";  // the terminal's suspend character
constexpr std::string_view kEsc = "\x1b";

class JobControlTest : public ::testing::Test {
 protected:
  void Start(Terminal terminal) {
    ports_ = FreeEchoAndChargenPorts();
    ASSERT_NE(ports_.echo, 0) << "no free ports";
    ServerOptions options;
    options.args = PortArgs(ports_);
    options.terminal = terminal;
    options.adjustModes = DistinctModes;
    server_ = std::make_unique<ServerProcess>(options);
    ASSERT_TRUE(server_->Started()) << server_->error();
  }

  ServerProcess& server() { return *server_; }

  // The server's process group is its terminal's foreground group.
  bool InFront() {
    const auto state = ReadProcessState(server_->pid());
    return state && state->ttyNr != 0 && state->pgrp == state->tpgid;
  }

  bool Stopped() {
    const auto state = ReadProcessState(server_->pid());
    return state && state->state == 'T';
  }

  // Waits until the server is stopped (or no longer stopped), reading its output meanwhile.
  bool WaitUntilStopped(bool stopped) {
    const Deadline deadline = In(10s);
    for (int i = 0; i < 1000; ++i) {
      if (Stopped() == stopped) return true;
      if (Clock::now() >= deadline || !server_->Running()) return false;
      (void)server_->ReadStdoutOnce(In(10ms));
    }
    return false;
  }

  void ExpectModes(const termios& expected) {
    const auto modes = server_->TerminalModes();
    ASSERT_TRUE(modes.has_value());
    EXPECT_EQ(DescribeModes(*modes), DescribeModes(expected));
  }

  // Status lines keep coming, the server is never found stopped between them, and a new
  // chargen client gets the chargen stream. A connect alone would prove nothing: the system
  // completes it for a listening socket even while the server is stopped.
  void ExpectServing() {
    const std::size_t mark = MarkStatusLines(*server_);
    for (std::size_t line = 0; line < 2; ++line) {
      ASSERT_EQ(StatusLinesAfter(*server_, mark + line, 1, In(10s)).size(), 1u)
          << "no further status line; server " << DescribeWaitStatus(server_->WaitForExit(In(0s)))
          << ", process state " << StateOf(server_->pid()) << ", output: " << server_->Stdout();
      EXPECT_FALSE(Stopped()) << "stopped";
    }
    const UniqueFd client = ConnectTcp(ports_.chargen);
    ASSERT_TRUE(client.Valid()) << std::strerror(errno);
    const std::string received = ReceiveExactly(client.Get(), 2 * kChargenBlockSize, In(10s));
    EXPECT_EQ(received.size(), 2 * kChargenBlockSize)
        << "the chargen client was not served; process state " << StateOf(server_->pid());
    EXPECT_EQ(ChargenMismatch(received, 0), "");
  }

  // In the foreground and key mode, ESC ends the server, which leaves `modes` behind.
  void ExpectEscEnds(const termios& modes) {
    ASSERT_TRUE(server_->WriteKeys(kEsc));
    // The keyboard is looked at once a second.
    EXPECT_EQ(DescribeWaitStatus(server_->WaitForExit(In(10s))), ExitedWith(0));
    ExpectModes(modes);
    server_->ReadRemainingOutput(In(5s));
    EXPECT_EQ(server_->Stderr(), "");
  }

  // A foreground job in key mode, as after `orvane` typed at a shell.
  void StartInKeyMode() {
    ASSERT_NO_FATAL_FAILURE(Start(Terminal::kForegroundJob));
    ASSERT_TRUE(WaitForKeyMode(*server_, In(10s)))
        << "the terminal was not put into key mode; server "
        << DescribeWaitStatus(server_->WaitForExit(In(0s)));
    ASSERT_TRUE(InFront());
  }

  // Ctrl+Z: the server stops, and the terminal has the modes it had before the server.
  void StopWithCtrlZ() {
    ASSERT_EQ(server_->ModesAtStart().c_cc[VSUSP], kCtrlZ[0]);
    ASSERT_TRUE(server_->WriteKeys(kCtrlZ));
    ASSERT_TRUE(WaitUntilStopped(true))
        << "not stopped; process state " << StateOf(server_->pid()) << ", server "
        << DescribeWaitStatus(server_->WaitForExit(In(0s)));
    ExpectModes(server_->ModesAtStart());
  }

 private:
  ServicePortPair ports_{};
  std::unique_ptr<ServerProcess> server_;
};

// Twice, since the second Ctrl+Z finds the server after it has been continued once.
TEST_F(JobControlTest, CtrlZStopsItAsFoundAndSigcontResumesKeyMode) {
  ASSERT_NO_FATAL_FAILURE(StartInKeyMode());
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("Ctrl+Z number " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(StopWithCtrlZ());
    ASSERT_TRUE(server().Signal(SIGCONT));
    ASSERT_TRUE(WaitUntilStopped(false)) << "not continued";
    EXPECT_TRUE(InFront());
    ASSERT_TRUE(WaitForKeyMode(server(), In(10s)))
        << "key mode not taken up again; server "
        << DescribeWaitStatus(server().WaitForExit(In(0s)));
    ASSERT_NO_FATAL_FAILURE(ExpectServing());
  }
  ExpectEscEnds(server().ModesAtStart());
}

// While the server is stopped the shell has the terminal, and the operator may change its
// modes (stty); those are the modes the server must leave behind when it ends after `fg`.
TEST_F(JobControlTest, ModesChangedWhileStoppedAreTheOnesLeftAtTheEnd) {
  ASSERT_NO_FATAL_FAILURE(StartInKeyMode());
  ASSERT_NO_FATAL_FAILURE(StopWithCtrlZ());
  ASSERT_TRUE(server().TakeForegroundBack()) << std::strerror(errno);

  termios changed = server().ModesAtStart();
  changed.c_cc[VERASE] = '\b';
  changed.c_cc[VTIME] = 9;
  changed.c_lflag ^= ECHOE;
  ASSERT_TRUE(server().SetTerminalModes(changed)) << std::strerror(errno);
  const auto set = server().TerminalModes();
  ASSERT_TRUE(set.has_value());
  changed = *set;
  ASSERT_NE(DescribeModes(changed), DescribeModes(server().ModesAtStart()));

  ASSERT_TRUE(server().BringServerToForeground()) << std::strerror(errno);  // fg
  ASSERT_TRUE(server().Signal(SIGCONT));
  ASSERT_TRUE(WaitForKeyMode(server(), In(10s)))
      << "key mode not taken up again; process state " << StateOf(server().pid());
  ExpectEscEnds(changed);
}

// Ctrl+Z, then `bg`: the server goes on in the background without key mode, and after `fg`
// takes it up again.
TEST_F(JobControlTest, ContinuedInTheBackgroundItServesAndLeavesTheTerminalAlone) {
  ASSERT_NO_FATAL_FAILURE(StartInKeyMode());
  ASSERT_NO_FATAL_FAILURE(StopWithCtrlZ());
  ASSERT_TRUE(server().TakeForegroundBack()) << std::strerror(errno);
  ASSERT_TRUE(server().Signal(SIGCONT));
  ASSERT_TRUE(WaitUntilStopped(false)) << "not continued";
  EXPECT_FALSE(InFront());

  ASSERT_NO_FATAL_FAILURE(ExpectServing());
  ExpectModes(server().ModesAtStart());

  ASSERT_TRUE(server().BringServerToForeground()) << std::strerror(errno);
  ASSERT_TRUE(WaitForKeyMode(server(), In(10s)))
      << "key mode not taken up in the foreground; process state " << StateOf(server().pid());
  ExpectEscEnds(server().ModesAtStart());
}

// `orvane &`, then `fg`.
TEST_F(JobControlTest, BroughtToTheForegroundItTakesUpKeyMode) {
  ASSERT_NO_FATAL_FAILURE(Start(Terminal::kBackground));
  ASSERT_NO_FATAL_FAILURE(ExpectServing());
  EXPECT_FALSE(InFront());
  ExpectModes(server().ModesAtStart());

  ASSERT_TRUE(server().BringServerToForeground()) << std::strerror(errno);
  ASSERT_TRUE(server().Signal(SIGCONT));  // as `fg` sends it, to a job that was not stopped
  EXPECT_TRUE(InFront());
  ASSERT_TRUE(WaitForKeyMode(server(), In(10s)))
      << "key mode not taken up in the foreground; process state " << StateOf(server().pid());
  ASSERT_NO_FATAL_FAILURE(ExpectServing());
  ExpectEscEnds(server().ModesAtStart());
}

// The foreground taken away while the terminal is in key mode: the server finds itself in the
// background with the terminal still in its key mode. It must not be stopped for that, and
// when it is ended there it must still be able to put the modes back.
TEST_F(JobControlTest, SentToTheBackgroundInKeyModeItKeepsServing) {
  ASSERT_NO_FATAL_FAILURE(StartInKeyMode());
  ASSERT_TRUE(server().TakeForegroundBack()) << std::strerror(errno);
  EXPECT_FALSE(InFront());
  ASSERT_NO_FATAL_FAILURE(ExpectServing());

  ASSERT_TRUE(server().Signal(SIGTERM));
  EXPECT_EQ(DescribeWaitStatus(server().WaitForExit(In(10s))), KilledBy(SIGTERM));
  ExpectModes(server().ModesAtStart());
}

}  // namespace
}  // namespace orvane::e2e
