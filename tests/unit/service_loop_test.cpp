#include "engine/service_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "captured_file.h"
#include "control/command_line.h"
#include "control/run.h"
#include "control/sock_exception.h"
#include "engine/status_line.h"
#include "fake_platform.h"

namespace orvane {
namespace {

using testing::CapturedFile;
using testing::FakePlatform;

const std::string kIdleStatus = "   0,     0     0,     0     0,     0    \r";

// The fake hands out handles from 3 in order: UDP echo 3, chargen listener 4, echo listener 5.
constexpr SocketHandle kUdp = 3, kChargenListener = 4, kEchoListener = 5;

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult RunWith(FakePlatform& platform,
                  std::vector<const char*> args = {"-e", "2007", "-c", "2019"}) {
  args.insert(args.begin(), "orvane");
  CapturedFile out;
  CapturedFile err;
  const int status =
      RunProgram(static_cast<int>(args.size()), args.data(), platform, out.get(), err.get());
  return {status, out.Text(), err.Text()};
}

// The failure report as it must appear on standard error.
std::string Report(const char* label, const char* text) {
  std::string report = "\n";
  report.append(label).append(": ").append(text).append("\n");
  return report;
}

// Every reading of the clock is a new second, so every iteration ends with a status tick.
void TickEveryIteration(FakePlatform& platform) {
  platform.onTime = [&platform] { ++platform.now; };
}

TEST(ServiceLoop, OpensTheServiceSocketsInOrderThenServesUntilEsc) {
  FakePlatform platform;
  TickEveryIteration(platform);
  platform.keys = {27};
  const RunResult run = RunWith(platform);

  const std::vector<std::string> opening(platform.calls.begin(), platform.calls.begin() + 11);
  EXPECT_EQ(opening,
            (std::vector<std::string>{
                "socket(dgram)", "setsockopt(3, reuseaddr, 1)", "bind(3, 2007)", "socket(stream)",
                "setsockopt(4, reuseaddr, 1)", "bind(4, 2019)", "listen(4, 5)", "socket(stream)",
                "setsockopt(5, reuseaddr, 1)", "bind(5, 2007)", "listen(5, 5)"}));
  EXPECT_EQ(platform.calls.at(11), "select(1000)");
  EXPECT_EQ(run.status, kExitServed);
  EXPECT_EQ(run.out, std::string(kStatusHeader) + kIdleStatus);
  EXPECT_EQ(run.err, "");
}

TEST(ServiceLoop, EachFatalCallIsReportedWithItsLabel) {
  struct Case {
    const char* kind;
    int nth;
    const char* label;
    bool headerPrinted;
  } const cases[] = {
      {"socket", 1, "socket()", false},
      {"setsockopt", 1, "setsockopt(sockUDPEcho, SO_REUSEADDR)", false},
      {"bind", 1, "bind(udpechoport)", false},
      {"socket", 2, "socket()", false},
      {"setsockopt", 2, "setsockopt(sockTCPChargenListen, SO_REUSEADDR)", false},
      {"bind", 2, "bind(tcpchargenport)", false},
      {"listen", 1, "listen()", false},
      {"socket", 3, "socket()", false},
      {"setsockopt", 3, "setsockopt(sockTCPEchoListen, SO_REUSEADDR)", false},
      {"bind", 3, "bind(tcpechoport)", false},
      {"listen", 2, "listen()", false},
      {"select", 1, "select()", true},
  };
  for (const auto& c : cases) {
    FakePlatform platform;
    platform.FailCall(c.kind, c.nth, 10048);
    const RunResult run = RunWith(platform);
    EXPECT_EQ(run.status, kExitSocketFailure) << c.label;
    EXPECT_EQ(run.err, Report(c.label, SockErrorText(10048)));
    EXPECT_EQ(run.out, c.headerPrinted ? kStatusHeader : "") << c.label;
    // Nothing is tried after the failing call.
    EXPECT_EQ(platform.calls.back().rfind(c.kind, 0), 0u) << c.label;
  }
}

// select() reports the given listener ready for reading, once.
void ListenerReadyOnce(FakePlatform& platform, SocketHandle listener) {
  auto fired = std::make_shared<bool>(false);
  platform.onSelect = [listener, fired](ReadinessSet& read, ReadinessSet& write,
                                        ReadinessSet& except) {
    write.Clear();
    except.Clear();
    read.Clear();
    if (*fired) return 0;
    *fired = true;
    read.Add(listener);
    return 1;
  };
}

TEST(ServiceLoop, FailedAcceptOrClientOptionEndsTheRun) {
  struct Case {
    SocketHandle listener;
    const char* kind;
    int nth;
    const char* label;
  } const cases[] = {
      {kChargenListener, "accept", 1, "accept(sockTCPChargenListen)"},
      {kEchoListener, "accept", 1, "accept(sockTCPEchoListen)"},
      {kChargenListener, "setsockopt", 4, "setsockopt(sockTCPChargenClients)"},
      {kEchoListener, "setsockopt", 4, "setsockopt(sockTCPEchoClients)"},
  };
  for (const auto& c : cases) {
    FakePlatform platform;
    ListenerReadyOnce(platform, c.listener);
    platform.FailCall(c.kind, c.nth, 10024);
    const RunResult run = RunWith(platform);
    EXPECT_EQ(run.status, kExitSocketFailure) << c.label;
    EXPECT_EQ(run.err, Report(c.label, "Socket error: An unknown socket error has occured"));
  }
}

TEST(ServiceLoop, AcceptedClientGetsUrgentDataInlineAndJoinsItsTable) {
  FakePlatform platform;
  CapturedFile scratch;
  ServiceState state(platform, scratch.get());
  OpenServiceSockets(state, {2007, 2019});
  ListenerReadyOnce(platform, kEchoListener);
  state.tLastStatus = platform.now;

  EXPECT_FALSE(RunServiceIteration(state));
  EXPECT_EQ(platform.CallsStartingWith("accept"), std::vector<std::string>{"accept(5)"});
  EXPECT_EQ(platform.calls.back(), "setsockopt(6, oobinline, 1)");
  EXPECT_EQ(state.nTCPEchoClients(), 1u);
  EXPECT_EQ(state.sockTCPEchoClients.sockets[0], 6u);
  EXPECT_EQ(state.nTCPChargenClients(), 0u);
}

TEST(ServiceLoop, ConnectionThatDiedBeforeAcceptIsNotFatal) {
  FakePlatform platform;
  CapturedFile scratch;
  ServiceState state(platform, scratch.get());
  OpenServiceSockets(state, {2007, 2019});
  ListenerReadyOnce(platform, kChargenListener);
  platform.DropNextPendingConnection();

  EXPECT_FALSE(RunServiceIteration(state));
  EXPECT_EQ(state.nTCPChargenClients(), 0u);
  EXPECT_TRUE(platform.CallsStartingWith("setsockopt(6").empty());
}

TEST(ServiceLoop, FullTableLeavesConnectionsWaiting) {
  FakePlatform platform;
  CapturedFile scratch;
  ServiceState state(platform, scratch.get());
  OpenServiceSockets(state, {2007, 2019});
  for (SocketHandle s = 100; s < 100 + kMaxClients; ++s) state.sockTCPChargenClients.Append(s);
  ListenerReadyOnce(platform, kChargenListener);

  EXPECT_FALSE(RunServiceIteration(state));
  EXPECT_TRUE(platform.CallsStartingWith("accept").empty());
  EXPECT_EQ(state.nTCPChargenClients(), kMaxClients);
}

struct SetsSeen {
  ReadinessSet read, write, except;
  int nfds = 0;
};

SetsSeen SetsForClients(std::uint32_t chargenClients, std::uint32_t echoClients) {
  FakePlatform platform;
  CapturedFile scratch;
  ServiceState state(platform, scratch.get());
  OpenServiceSockets(state, {2007, 2019});
  for (std::uint32_t i = 0; i < chargenClients; ++i) state.sockTCPChargenClients.Append(100 + i);
  for (std::uint32_t i = 0; i < echoClients; ++i) state.sockTCPEchoClients.Append(200 + i);
  SetsSeen seen;
  platform.onSelect = [&seen](ReadinessSet& read, ReadinessSet& write, ReadinessSet& except) {
    seen.read = read;
    seen.write = write;
    seen.except = except;
    read.Clear();
    write.Clear();
    except.Clear();
    return 0;
  };
  RunServiceIteration(state);
  seen.nfds = platform.lastSelectNfds;
  return seen;
}

TEST(ServiceLoop, ReadinessSetsHoldServiceSocketsThenChargenThenEchoClientsUpToCapacity) {
  const SetsSeen few = SetsForClients(2, 1);
  ASSERT_EQ(few.read.count, 6u);
  EXPECT_EQ(std::vector<SocketHandle>(few.read.sockets.begin(), few.read.sockets.begin() + 6),
            (std::vector<SocketHandle>{kUdp, kChargenListener, kEchoListener, 100, 101, 200}));
  EXPECT_EQ(few.write.count, 3u);
  EXPECT_EQ(few.except.count, 3u);
  EXPECT_EQ(few.nfds, 201);

  // 61 chargen clients fill the read set: echo clients are only in the other two sets.
  const SetsSeen crowded = SetsForClients(61, 3);
  EXPECT_EQ(crowded.read.count, 64u);
  EXPECT_FALSE(crowded.read.Contains(200));
  EXPECT_TRUE(crowded.write.Contains(202));
  EXPECT_TRUE(crowded.except.Contains(202));

  // 64 chargen clients leave no room for any echo client, yet they still count for nfds.
  const SetsSeen full = SetsForClients(64, 2);
  EXPECT_TRUE(full.read.Contains(160));
  EXPECT_FALSE(full.read.Contains(161)) << "the 62nd chargen client does not fit";
  EXPECT_TRUE(full.write.Contains(163));
  EXPECT_FALSE(full.write.Contains(200));
  EXPECT_FALSE(full.except.Contains(200));
  EXPECT_EQ(full.nfds, 202);
}

TEST(StatusTick, OnlyWhenTheSecondChangesThenCountersStartAgain) {
  FakePlatform platform;
  CapturedFile out;
  ServiceState state(platform, out.get());
  OpenServiceSockets(state, {2007, 2019});
  state.tLastStatus = platform.now;
  state.sockTCPChargenClients.Append(100);
  state.nUDPEchoPackets = 7;
  state.nUDPEchoBytes = 7 * 52;
  state.nTCPChargenBytes = 1514 * 10;
  state.nTCPEchoBytes = 128 * 3;

  for (int i = 0; i < 5; ++i) EXPECT_FALSE(RunServiceIteration(state));
  EXPECT_EQ(out.Text(), "") << "no line within the same second";

  ++platform.now;
  EXPECT_FALSE(RunServiceIteration(state));
  ++platform.now;
  EXPECT_FALSE(RunServiceIteration(state));
  EXPECT_EQ(out.Text(),
            "   7,     2     1,   118     0,     3    \r"
            "   0,     0     1,     0     0,     0    \r");
  EXPECT_EQ(state.tLastStatus, platform.now);
}

TEST(StatusTick, ReadsOneKeyPerTickAndOnlyEscEnds) {
  FakePlatform platform;
  TickEveryIteration(platform);
  // q, then an arrow key as its two codes, then ESC.
  platform.keys = {'q', 224, 72, 27, 'x'};
  const RunResult run = RunWith(platform);
  EXPECT_EQ(run.status, kExitServed);
  EXPECT_EQ(platform.CallsStartingWith("getch").size(), 4u);
  EXPECT_EQ(platform.keys, std::deque<int>{'x'});
  std::string expected = kStatusHeader;
  for (int i = 0; i < 4; ++i) expected += kIdleStatus;
  EXPECT_EQ(run.out, expected) << "nothing may follow the last status line";
}

}  // namespace
}  // namespace orvane
