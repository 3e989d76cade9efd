// orvane-probe, the real binary, against the real server on loopback, against nothing at all,
// and against a server that drops, duplicates, reorders and damages on purpose (IPv4 and IPv6):
// each fault is seen, counted, and gives the exit status it should.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/faulty_server.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

struct ProbeRun {
  std::optional<int> status;
  std::string out;
  std::string err;

  // The number a member of the JSON summary holds; empty if it is null or missing.
  [[nodiscard]] std::optional<double> Number(const std::string& key) const {
    const std::string name = "\"" + key + "\":";
    const auto at = out.find(name);
    if (at == std::string::npos || out.compare(at + name.size(), 4, "null") == 0) return {};
    return std::strtod(out.c_str() + at + name.size(), nullptr);
  }
  [[nodiscard]] std::string Text(const std::string& key) const {
    const std::string name = "\"" + key + "\":\"";
    const auto at = out.find(name);
    if (at == std::string::npos) return {};
    return out.substr(at + name.size(), out.find('"', at + name.size()) - at - name.size());
  }
  [[nodiscard]] std::string Exit() const { return DescribeWaitStatus(status); }
  [[nodiscard]] std::string Describe() const {
    return "the probe " + DescribeWaitStatus(status) + "\nstdout: " + out + "\nstderr: " + err;
  }
};

ProbeRun RunProbe(std::vector<std::string> args, const ServerOptions& base = {}) {
  ServerOptions options = base;
  options.program = ORVANE_PROBE_BINARY;
  options.args = std::move(args);
  ServerProcess probe(options);
  ProbeRun run;
  if (!probe.Started()) {
    run.err = probe.error();
    return run;
  }
  run.status = probe.WaitForExit(In(20s));
  probe.ReadRemainingOutput(In(2s));
  run.out = probe.Stdout();
  run.err = probe.Stderr();
  return run;
}

std::vector<std::string> Args(std::initializer_list<std::string> words, std::uint16_t port,
                              const std::string& host) {
  std::vector<std::string> args(words);
  args.insert(args.end(), {"-p", std::to_string(port), "--json", host});
  return args;
}

// Expects a JSON summary alone on standard output: one object, one line.
void ExpectJsonAlone(const ProbeRun& run) {
  EXPECT_EQ(run.out.find('{'), 0u) << run.Describe();
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.Describe();
  EXPECT_EQ(run.out[run.out.size() - 2], '}') << run.Describe();
}

// ---------------------------------------------------------------------------------------------
// Against the real server

class ProbeAgainstOrvane : public ServingTest {};

TEST_F(ProbeAgainstOrvane, MatchesAndTimesEveryDatagram) {
  const ProbeRun run = RunProbe(Args({"udp", "-n", "1000", "-w", "8"}, echoPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  ExpectJsonAlone(run);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.Text("mode"), "udp");
  EXPECT_EQ(run.Number("port"), echoPort());
  EXPECT_EQ(run.Number("size"), 64);
  EXPECT_EQ(run.Number("sent"), 1000);
  EXPECT_EQ(run.Number("answered"), 1000);
  for (const char* none : {"lost", "duplicated", "reordered", "corrupted"}) {
    EXPECT_EQ(run.Number(none), 0) << none;
  }
  const auto min = run.Number("min");
  const auto median = run.Number("median");
  const auto p90 = run.Number("p90");
  const auto p99 = run.Number("p99");
  const auto max = run.Number("max");
  ASSERT_TRUE(min && median && p90 && p99 && max) << run.out;
  EXPECT_GT(*min, 0);
  EXPECT_LE(*min, *median);
  EXPECT_LE(*median, *p90);
  EXPECT_LE(*p90, *p99);
  EXPECT_LE(*p99, *max);
  EXPECT_GT(run.Number("per_second").value_or(0), 0);
}

TEST_F(ProbeAgainstOrvane, DatagramsTheServerRefusesAreLostAndNothingCameBack) {
  // The server discards datagrams longer than 1500 bytes.
  const ProbeRun run = RunProbe(
      Args({"udp", "-s", "1501", "-n", "5", "-w", "5", "--wait", "0.3"}, echoPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(1)) << run.Describe();
  EXPECT_EQ(run.Number("sent"), 5);
  EXPECT_EQ(run.Number("answered"), 0);
  EXPECT_EQ(run.Number("lost"), 5);
  EXPECT_FALSE(run.Number("median").has_value()) << "round trips of nothing";
}

TEST_F(ProbeAgainstOrvane, VerifiesEchoStreams) {
  const ProbeRun run = RunProbe(Args({"echo", "-c", "4", "-t", "0.5"}, echoPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  ExpectJsonAlone(run);
  EXPECT_EQ(run.Number("connections"), 4);
  EXPECT_GT(run.Number("bytes_verified").value_or(0), 0);
  EXPECT_GE(run.Number("bytes_sent"), run.Number("bytes_verified"));
  EXPECT_EQ(run.Number("mismatches"), 0);
  EXPECT_EQ(run.Number("failed"), 0);
  EXPECT_FALSE(run.Number("first_mismatch_offset").has_value());
  EXPECT_NEAR(run.Number("seconds").value_or(0), 0.5, 0.1);
}

TEST_F(ProbeAgainstOrvane, VerifiesTheChargenBlock) {
  const ProbeRun run =
      RunProbe(Args({"chargen", "--verify", "-c", "2", "-t", "0.5"}, chargenPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  EXPECT_EQ(run.Text("check"), "block");
  EXPECT_GT(run.Number("bytes").value_or(0), 0);
  EXPECT_EQ(run.Number("corrupted"), 0);
  EXPECT_EQ(run.Number("failed"), 0);
}

TEST_F(ProbeAgainstOrvane, OurChargenIsNotRfc864Lines) {
  // The block has no line end where the first line must have its CR.
  const ProbeRun run =
      RunProbe(Args({"chargen", "--lines", "-t", "0.3"}, chargenPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(1)) << run.Describe();
  EXPECT_EQ(run.Number("corrupted"), 1);
  EXPECT_EQ(run.Number("first_corrupt_offset"), 72);
}

TEST_F(ProbeAgainstOrvane, CountsConnections) {
  const ProbeRun run = RunProbe(Args({"connect", "-c", "2", "-t", "0.5"}, echoPort(), "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  EXPECT_GT(run.Number("connections").value_or(0), 0);
  EXPECT_GT(run.Number("per_second").value_or(0), 0);
  EXPECT_EQ(run.Number("mismatches"), 0);
  EXPECT_EQ(run.Number("failed"), 0);
}

TEST_F(ProbeAgainstOrvane, SummaryForPeopleAndNoProgressLineOffATerminal) {
  const ProbeRun run = RunProbe(
      {"udp", "-n", "100", "-w", "4", "-4", "-p", std::to_string(echoPort()), "localhost"});
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  const std::string head = "UDP echo to localhost (127.0.0.1) port " + std::to_string(echoPort()) +
                           ": 64-byte datagrams, 4 in flight, ";
  EXPECT_EQ(run.out.rfind(head, 0), 0u) << run.out;
  EXPECT_NE(run.out.find("\n  sent 100, answered 100, lost 0, duplicated 0, reordered 0, "
                         "corrupted 0\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\n  round trip in microseconds: min "), std::string::npos) << run.out;
  EXPECT_TRUE(run.out.ends_with("\nAll that came back was intact.\n")) << run.out;
  EXPECT_EQ(run.err, "") << "a progress line where no terminal shows it";
}

TEST_F(ProbeAgainstOrvane, ProgressLineOnceASecondOnATerminal) {
  ServerOptions terminal;
  terminal.terminal = Terminal::kForeground;
  terminal.stderrOnTerminal = true;
  const ProbeRun run =
      RunProbe({"udp", "-t", "1.3", "-p", std::to_string(echoPort()), "127.0.0.1"}, terminal);
  ASSERT_EQ(run.Exit(), ExitedWith(0)) << run.Describe();
  // One line after the first second, overwritten in place, then the summary below it.
  const auto progress = run.out.find("     1 s ");
  const auto summary = run.out.find("UDP echo to 127.0.0.1");
  ASSERT_NE(progress, std::string::npos) << run.out;
  ASSERT_NE(summary, std::string::npos) << run.out;
  EXPECT_LT(progress, summary);
  EXPECT_NE(run.out.find("  sent ", progress), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("     2 s "), std::string::npos) << run.out;
  const std::string between = run.out.substr(progress, summary - progress);
  EXPECT_NE(between.find('\r'), std::string::npos) << between;
}

// ---------------------------------------------------------------------------------------------
// Where nothing listens, or nothing can be reached

class ProbeAgainstNothing : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto ports = FreePorts(1);
    ASSERT_EQ(ports.size(), 1u);
    port_ = ports[0];
  }
  std::uint16_t port_ = 0;
};

TEST_F(ProbeAgainstNothing, RefusedConnectionsFailAndNothingComesBack) {
  const std::string refused =
      "connect: Socket error ECONNREFUSED: The connection attempt was forcefully refused";
  struct Case {
    std::vector<std::string> args;
    const char* failed;  // the member that counts the failures
  } const cases[] = {
      {Args({"echo", "-c", "2", "-t", "0.2"}, port_, "127.0.0.1"), "failed"},
      {Args({"chargen", "-t", "0.2"}, port_, "127.0.0.1"), "failed"},
      {Args({"connect", "-t", "0.2"}, port_, "127.0.0.1"), "failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ProbeRun run = RunProbe(c.args);
    ASSERT_EQ(run.Exit(), ExitedWith(1)) << run.Describe();
    ExpectJsonAlone(run);
    EXPECT_GE(run.Number(c.failed).value_or(0), 1);
    EXPECT_EQ(run.err.rfind(refused, 0), 0u) << run.err;
  }
}

TEST_F(ProbeAgainstNothing, DatagramsToNowhereAreLost) {
  const ProbeRun run =
      RunProbe(Args({"udp", "-n", "3", "-w", "3", "--wait", "0.3"}, port_, "127.0.0.1"));
  ASSERT_EQ(run.Exit(), ExitedWith(1)) << run.Describe();
  EXPECT_EQ(run.Number("sent"), 3);
  EXPECT_EQ(run.Number("lost"), 3);
}

TEST(ProbeCommandLineE2e, UsageErrorsAndUnresolvableHosts) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } const cases[] = {
      {{"udp"}, 2, "Missing host\n"},
      {{"udp", "-t", "x", "127.0.0.1"}, 2, "Bad time \"x\" (seconds, 0.001 to 1000000)\n"},
      // No name service is asked: the address itself is of the other family.
      {{"udp", "-6", "127.0.0.1"}, 1, "getaddrinfo(127.0.0.1): "},
      {{"echo", "-4", "[::1]"}, 1, "getaddrinfo(::1): "},
  };
  for (const auto& c : cases) {
    const ProbeRun run = RunProbe(c.args);
    SCOPED_TRACE(run.Describe());
    EXPECT_EQ(run.Exit(), ExitedWith(c.status));
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(run.out, "");
  }
  const ProbeRun help = RunProbe({"--help"});
  EXPECT_EQ(help.Exit(), ExitedWith(0));
  EXPECT_EQ(help.out.rfind("Orvane probe v", 0), 0u) << help.out;
}

// ---------------------------------------------------------------------------------------------
// Against a server that gets things wrong on purpose

constexpr const char* kLoopbacks[] = {"127.0.0.1", "::1"};

// The host as the probe is given it: IPv6 in brackets, as users write it in URLs.
std::string HostArg(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

TEST(ProbeAgainstFaults, EveryDatagramFaultIsCounted) {
  struct Case {
    const char* name;
    DatagramFault fault;
    int status;
    double answered, lost, duplicated, reordered, corrupted;
  } const cases[] = {
      // 200 datagrams; every tenth one is hit.
      {"none", DatagramFault::kNone, 0, 200, 0, 0, 0, 0},
      {"drop", DatagramFault::kDrop, 0, 180, 20, 0, 0, 0},
      {"duplicate", DatagramFault::kDuplicate, 0, 200, 0, 20, 0, 0},
      {"reorder", DatagramFault::kReorder, 0, 200, 0, 0, 20, 0},
      {"corrupt", DatagramFault::kCorrupt, 1, 180, 0, 0, 0, 20},
      {"truncate", DatagramFault::kTruncate, 1, 180, 0, 0, 0, 20},
  };
  for (const char* address : kLoopbacks) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + address);
      FaultPlan plan;
      plan.datagram = c.fault;
      const FaultyServer server(address, plan);
      ASSERT_TRUE(server.Ready()) << server.error();
      // Paced, so that a datagram held back or lost never holds up the rest.
      const ProbeRun run = RunProbe(Args({"udp", "-r", "4000", "-n", "200", "--wait", "0.3"},
                                         server.udpPort(), HostArg(address)));
      EXPECT_EQ(run.Exit(), ExitedWith(c.status)) << run.Describe();
      EXPECT_EQ(run.Text("address"), address);
      EXPECT_EQ(run.Number("sent"), 200);
      EXPECT_EQ(run.Number("answered"), c.answered);
      EXPECT_EQ(run.Number("lost"), c.lost);
      EXPECT_EQ(run.Number("duplicated"), c.duplicated);
      EXPECT_EQ(run.Number("reordered"), c.reordered);
      EXPECT_EQ(run.Number("corrupted"), c.corrupted);
    }
  }
}

TEST(ProbeAgainstFaults, EchoStreamFaultsAreFoundWhereTheyAre) {
  struct Case {
    const char* name;
    StreamFault fault;
    int status;
    double mismatches;
    std::optional<double> offset;
    double failed;
  } const cases[] = {
      {"none", StreamFault::kNone, 0, 0, std::nullopt, 0},
      {"byte changed", StreamFault::kCorrupt, 1, 1, 100'000, 0},
      {"byte left out", StreamFault::kDropByte, 1, 1, 100'000, 0},
      {"byte put in", StreamFault::kInsertByte, 1, 1, 100'000, 0},
      // Cut short: what came back was intact, and the connection counts as failed.
      {"closed", StreamFault::kClose, 0, 0, std::nullopt, 1},
  };
  for (const char* address : kLoopbacks) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + address);
      FaultPlan plan;
      plan.stream = c.fault;
      plan.at = 100'000;
      const FaultyServer server(address, plan);
      ASSERT_TRUE(server.Ready()) << server.error();
      const ProbeRun run =
          RunProbe(Args({"echo", "-t", "0.4"}, server.echoPort(), HostArg(address)));
      EXPECT_EQ(run.Exit(), ExitedWith(c.status)) << run.Describe();
      EXPECT_EQ(run.Number("mismatches"), c.mismatches);
      EXPECT_EQ(run.Number("first_mismatch_offset"), c.offset);
      EXPECT_EQ(run.Number("failed"), c.failed);
      if (c.fault == StreamFault::kClose) {
        EXPECT_EQ(run.Number("bytes_verified"), 100'000);
      }
      if (c.fault == StreamFault::kNone) {
        EXPECT_GT(run.Number("bytes_verified"), 100'000);
      }
    }
  }
}

TEST(ProbeAgainstFaults, ChargenFaultsAreFoundWhereTheyAre) {
  struct Case {
    const char* name;
    ChargenKind kind;
    std::uint64_t skip;
    StreamFault fault;
    std::uint64_t at;
    const char* check;
    int status;
    double corrupted;
    std::optional<double> offset;
    double failed;
  } const cases[] = {
      {"block", ChargenKind::kBlock, 0, StreamFault::kNone, 0, "--verify", 0, 0, {}, 0},
      {"block, byte changed", ChargenKind::kBlock, 0, StreamFault::kCorrupt, 70'000, "--verify", 1,
       1, 70'000, 0},
      {"block, byte left out", ChargenKind::kBlock, 0, StreamFault::kDropByte, 5000, "--verify", 1,
       1, 5000, 0},
      {"block, cut short",
       ChargenKind::kBlock,
       0,
       StreamFault::kClose,
       30'000,
       "--verify",
       0,
       0,
       {},
       1},
      // Not checked, a changed byte goes by.
      {"block unchecked, byte changed",
       ChargenKind::kBlock,
       0,
       StreamFault::kCorrupt,
       700,
       nullptr,
       0,
       0,
       {},
       0},
      {"lines", ChargenKind::kLines, 0, StreamFault::kNone, 0, "--lines", 0, 0, {}, 0},
      {"lines joined inside a line",
       ChargenKind::kLines,
       30,
       StreamFault::kNone,
       0,
       "--lines",
       0,
       0,
       {},
       0},
      {"lines, byte changed", ChargenKind::kLines, 0, StreamFault::kCorrupt, 10'000, "--lines", 1,
       1, 10'000, 0},
      {"lines are not the block", ChargenKind::kLines, 0, StreamFault::kNone, 0, "--verify", 1, 1,
       72, 0},
  };
  for (const char* address : kLoopbacks) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + address);
      FaultPlan plan;
      plan.chargen = c.kind;
      plan.skip = c.skip;
      plan.stream = c.fault;
      plan.at = c.at;
      const FaultyServer server(address, plan);
      ASSERT_TRUE(server.Ready()) << server.error();
      std::vector<std::string> args = {"chargen", "-t", "0.3"};
      if (c.check != nullptr) args.emplace_back(c.check);
      args.insert(args.end(),
                  {"-p", std::to_string(server.chargenPort()), "--json", HostArg(address)});
      const ProbeRun run = RunProbe(args);
      EXPECT_EQ(run.Exit(), ExitedWith(c.status)) << run.Describe();
      EXPECT_EQ(run.Number("corrupted"), c.corrupted);
      EXPECT_EQ(run.Number("first_corrupt_offset"), c.offset);
      EXPECT_EQ(run.Number("failed"), c.failed);
      if (c.fault == StreamFault::kClose) {
        EXPECT_EQ(run.Number("bytes"), c.at);
      }
    }
  }
}

TEST(ProbeAgainstFaults, ConnectCountsDamagedAndCutShortEchoes) {
  struct Case {
    const char* name;
    StreamFault fault;
    const char* counted;
  } const cases[] = {
      {"byte changed", StreamFault::kCorrupt, "mismatches"},
      {"cut short", StreamFault::kClose, "failed"},
  };
  for (const char* address : kLoopbacks) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + address);
      FaultPlan plan;
      plan.stream = c.fault;
      plan.at = 3;
      const FaultyServer server(address, plan);
      ASSERT_TRUE(server.Ready()) << server.error();
      const ProbeRun run =
          RunProbe(Args({"connect", "-t", "0.2"}, server.echoPort(), HostArg(address)));
      EXPECT_EQ(run.Exit(), ExitedWith(1)) << run.Describe();
      EXPECT_EQ(run.Number("connections"), 0);
      EXPECT_GT(run.Number(c.counted).value_or(0), 0);
    }
  }
}

}  // namespace
}  // namespace orvane::e2e
