// The keyboard and the terminal: ESC on the controlling terminal ends the server, nothing else
// typed does, and the terminal's modes are always left as they were found. Several servers
// run side by side in one test, each on its own pseudo-terminal, so that the seconds the
// server waits between looks at the keyboard are spent once per test, not once per case.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/terminal_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kEsc = "\x1b";

// The header as a terminal shows it: output processing turns each '\n' into "\r\n".
std::string OnTerminal(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct TerminalServer {
  std::string name;
  std::unique_ptr<ServerProcess> server;
  ServicePortPair ports{};
  std::size_t linesSeen = 0;
};

// Starts one server per name, each on fresh ports and its own pseudo-terminal.
std::vector<TerminalServer> StartOnTerminals(const std::vector<std::string>& names,
                                             Terminal terminal) {
  const std::vector<std::uint16_t> free = FreePorts(2 * names.size());
  std::vector<TerminalServer> runs;
  if (free.size() != 2 * names.size()) return runs;
  for (std::size_t i = 0; i < names.size(); ++i) {
    TerminalServer run{names[i], nullptr, {free[2 * i], free[2 * i + 1]}};
    ServerOptions options;
    options.args = {"-e", std::to_string(run.ports.echo), "-c", std::to_string(run.ports.chargen)};
    options.terminal = terminal;
    options.adjustModes = DistinctModes;
    run.server = std::make_unique<ServerProcess>(options);
    runs.push_back(std::move(run));
  }
  return runs;
}

// Waits until the server has written `more` further status lines.
bool WaitForStatusLines(TerminalServer& run, std::size_t more, Clock::duration within) {
  const std::size_t want = run.linesSeen + more;
  const bool ok = run.server->ReadStdoutUntil(
      [want](const std::string& out) { return CompleteStatusLines(out).size() >= want; },
      In(within));
  run.linesSeen = CompleteStatusLines(run.server->Stdout()).size();
  return ok;
}

// Everything after the header is status lines, and the last one is complete: nothing was
// printed after it.
void ExpectOnlyStatusLinesAfterHeader(const std::string& out) {
  const std::string header = OnTerminal(kExpectedHeader);
  ASSERT_TRUE(out.starts_with(header)) << out;
  std::size_t start = header.size();
  std::size_t lines = 0;
  for (std::size_t cr = out.find('\r', start); cr != std::string::npos;
       cr = out.find('\r', start)) {
    const std::string line = out.substr(start, cr + 1 - start);
    EXPECT_TRUE(ParseStatusLine(line).has_value()) << "not a status line: '" << line << "'";
    start = cr + 1;
    ++lines;
  }
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(out.substr(start), "") << "printed after the last status line";
}

// -------------------------------------------------------------------------------------------

struct WayOut {
  const char* name;
  int signal;  // 0: the operator presses ESC
  std::string expectedEnd;
};

TEST(Keyboard, EveryWayOutRestoresTheTerminalModes) {
  const std::vector<WayOut> ways = {
      {"ESC", 0, ExitedWith(0)},
      {"SIGINT", SIGINT, KilledBy(SIGINT)},
      {"SIGTERM", SIGTERM, KilledBy(SIGTERM)},
      {"SIGHUP", SIGHUP, KilledBy(SIGHUP)},
      {"SIGQUIT", SIGQUIT, KilledBy(SIGQUIT)},
      // What a status line written into a pipe whose reader has gone brings.
      {"SIGPIPE", SIGPIPE, KilledBy(SIGPIPE)},
      {"SIGUSR1", SIGUSR1, KilledBy(SIGUSR1)},
  };
  std::vector<std::string> names;
  for (const auto& w : ways) names.emplace_back(w.name);
  std::vector<TerminalServer> runs = StartOnTerminals(names, Terminal::kForeground);
  ASSERT_EQ(runs.size(), ways.size()) << "no free ports";

  for (auto& run : runs) {
    SCOPED_TRACE(run.name);
    ASSERT_TRUE(run.server->Started()) << run.server->error();
    ASSERT_TRUE(WaitForKeyMode(*run.server, In(10s)))
        << "the terminal was not put into key mode; server "
        << DescribeWaitStatus(run.server->WaitForExit(In(0s)));
    const auto state = ReadProcessState(run.server->pid());
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->pgrp, state->tpgid) << "the server is not in the foreground";
  }

  for (std::size_t i = 0; i < runs.size(); ++i) {
    ServerProcess& server = *runs[i].server;
    if (ways[i].signal == 0) {
      ASSERT_TRUE(server.WriteKeys(kEsc));
    } else {
      ASSERT_TRUE(server.Signal(ways[i].signal));
    }
  }

  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(runs[i].name);
    ServerProcess& server = *runs[i].server;
    // The keyboard is looked at once a second.
    EXPECT_EQ(DescribeWaitStatus(server.WaitForExit(In(5s))), ways[i].expectedEnd);
    const auto after = server.TerminalModes();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(DescribeModes(*after), DescribeModes(server.ModesAtStart()));
    server.ReadRemainingOutput(In(5s));
    ExpectOnlyStatusLinesAfterHeader(server.Stdout());
    EXPECT_EQ(server.Stderr(), "");
  }
}

TEST(Keyboard, OtherKeysLeaveItRunningUntilEsc) {
  struct Key {
    const char* name;
    const char* bytes;
  };
  // Cursor and function keys, and Alt with a letter, arrive as sequences that start with the
  // ESC byte, yet none of them is the ESC key.
  const std::vector<Key> keys = {
      {"q", "q"},       {"x", "x"},         {"Enter", "\r"},    {"Up", "\x1b[A"},
      {"F1", "\x1bOP"}, {"F5", "\x1b[15~"}, {"Alt+q", "\x1bq"},
  };
  std::vector<std::string> names;
  for (const auto& k : keys) names.emplace_back(k.name);
  std::vector<TerminalServer> runs = StartOnTerminals(names, Terminal::kForeground);
  ASSERT_EQ(runs.size(), keys.size()) << "no free ports";

  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(runs[i].name);
    ServerProcess& server = *runs[i].server;
    ASSERT_TRUE(server.Started()) << server.error();
    // Typed only once echo is off, as the server reads it; before, the terminal would echo it.
    ASSERT_TRUE(WaitForKeyMode(server, In(10s)));
    runs[i].linesSeen = CompleteStatusLines(server.Stdout()).size();
    ASSERT_TRUE(server.WriteKeys(keys[i].bytes));
  }

  // The server looks at one key code after each status line, and a key gives at most two
  // codes. One line may already have been on its way when the key was typed, so after four
  // more lines every code of the key has been looked at, and the last line shows that the
  // server went on.
  for (auto& run : runs) {
    SCOPED_TRACE(run.name);
    EXPECT_TRUE(WaitForStatusLines(run, 4, 10s)) << run.server->Stdout();
    EXPECT_TRUE(run.server->Running());
    EXPECT_TRUE(ConnectTcp(run.ports.chargen).Valid()) << "no longer accepts clients";
    ASSERT_TRUE(run.server->WriteKeys(kEsc));
  }

  for (auto& run : runs) {
    SCOPED_TRACE(run.name);
    EXPECT_EQ(DescribeWaitStatus(run.server->WaitForExit(In(5s))), ExitedWith(0));
  }
}

// A job in the background of its terminal's session, the way a shell runs `orvane &`: it must
// neither be stopped for writing to the terminal nor touch the terminal's modes.
TEST(Keyboard, InTheBackgroundKeepsServingAndLeavesTheTerminalAlone) {
  std::vector<TerminalServer> runs = StartOnTerminals({"background"}, Terminal::kBackground);
  ASSERT_EQ(runs.size(), 1u) << "no free ports";
  TerminalServer& run = runs.front();
  ServerProcess& server = *run.server;
  ASSERT_TRUE(server.Started()) << server.error();

  ASSERT_TRUE(WaitForStatusLines(run, 1, 10s))
      << server.Stdout() << "\nserver " << DescribeWaitStatus(server.WaitForExit(In(0s)))
      << ", process state " << StateOf(server.pid());
  const auto state = ReadProcessState(server.pid());
  ASSERT_TRUE(state.has_value());
  EXPECT_NE(state->ttyNr, 0) << "the server has no controlling terminal";
  EXPECT_NE(state->pgrp, state->tpgid) << "the server is in the foreground";

  // Status lines keep coming, and between them the server is never found stopped.
  for (int line = 0; line < 3; ++line) {
    ASSERT_TRUE(WaitForStatusLines(run, 1, 10s)) << server.Stdout();
    const auto now = ReadProcessState(server.pid());
    ASSERT_TRUE(now.has_value());
    EXPECT_NE(now->state, 'T') << "stopped";
    EXPECT_NE(now->state, 't') << "stopped";
  }
  EXPECT_TRUE(ConnectTcp(run.ports.chargen).Valid());
  EXPECT_TRUE(ConnectTcp(run.ports.echo).Valid());
  const auto modes = server.TerminalModes();
  ASSERT_TRUE(modes.has_value());
  EXPECT_EQ(DescribeModes(*modes), DescribeModes(server.ModesAtStart()));
  EXPECT_TRUE(server.Running());
}

}  // namespace
}  // namespace orvane::e2e
