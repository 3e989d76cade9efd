// Fatal socket failures: the report on stderr names the call that failed and the reason, and
// the exit status tells a failed server from one that was stopped on purpose.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kInUse =
    ": Socket error EADDRINUSE: The requested port/address is already in use\n";

enum class Taken { kUdpEcho, kTcpChargen, kTcpEcho };

struct BindCase {
  const char* name;
  Taken taken;
  const char* call;
};

void PrintTo(const BindCase& c, std::ostream* os) {
  *os << c.name;
}

// Holds one of the server's ports the way another program would: a UDP socket without
// SO_REUSEADDR, or a listening TCP socket. Either makes the server's bind fail even though it
// asks for SO_REUSEADDR itself.
UniqueFd TakePort(Taken taken, const ServicePortPair& ports) {
  switch (taken) {
    case Taken::kUdpEcho:
      return BindUdp("127.0.0.1", ports.echo);
    case Taken::kTcpChargen:
      return ListenTcp("127.0.0.1", ports.chargen);
    case Taken::kTcpEcho:
      return ListenTcp("127.0.0.1", ports.echo);
  }
  return {};
}

class PortInUse : public ::testing::TestWithParam<BindCase> {};

TEST_P(PortInUse, ReportsTheFailedBindAndExitsWithStatus2) {
  const BindCase& c = GetParam();
  const ServicePortPair ports = FreeEchoAndChargenPorts();
  ASSERT_NE(ports.echo, 0) << "no free ports";
  const UniqueFd holder = TakePort(c.taken, ports);
  ASSERT_TRUE(holder.Valid()) << "could not take the port";

  ServerProcess server({"-e", std::to_string(ports.echo), "-c", std::to_string(ports.chargen)});
  ASSERT_TRUE(server.Started()) << server.error();
  EXPECT_EQ(DescribeWaitStatus(server.WaitForExit(In(10s))), ExitedWith(2));
  server.ReadRemainingOutput(In(5s));
  EXPECT_EQ(server.Stderr(), std::string("\n").append(c.call).append(kInUse));
  // The sockets are all opened before the header is written.
  EXPECT_EQ(server.Stdout(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, PortInUse,
    ::testing::Values(BindCase{"UdpEcho", Taken::kUdpEcho, "bind(udpechoport)"},
                      BindCase{"TcpChargen", Taken::kTcpChargen, "bind(tcpchargenport)"},
                      BindCase{"TcpEchoOnly", Taken::kTcpEcho, "bind(tcpechoport)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A failing accept ends the server: with its descriptors used up, the next client cannot be
// taken in.

struct AcceptCase {
  const char* name;
  bool chargen;
  const char* listener;
};

void PrintTo(const AcceptCase& c, std::ostream* os) {
  *os << c.name;
}

class AcceptFailure : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptFailure, ReportsTheFailedAcceptAndExitsWithStatus2) {
  const AcceptCase& c = GetParam();
  const ServicePortPair ports = FreeEchoAndChargenPorts();
  ASSERT_NE(ports.echo, 0) << "no free ports";
  const std::uint16_t port = c.chargen ? ports.chargen : ports.echo;

  // Without a terminal the server has stdin, stdout and stderr and its three service sockets;
  // one descriptor more lets exactly one client in, and the second accept fails (EMFILE).
  constexpr rlim_t kStdio = 3;
  constexpr rlim_t kServiceSockets = 3;
  ServerOptions options;
  options.args = {"-e", std::to_string(ports.echo), "-c", std::to_string(ports.chargen)};
  options.fileLimit = kStdio + kServiceSockets + 1;
  ServerProcess server(options);
  ASSERT_TRUE(server.Started()) << server.error();

  std::vector<UniqueFd> clients;
  clients.push_back(WaitUntilServing(server, port, In(10s)));
  ASSERT_TRUE(clients.back().Valid())
      << "not served; server " << DescribeWaitStatus(server.WaitForExit(In(1s)));
  for (int i = 0; i < 8 && server.Running(); ++i) {
    clients.push_back(ConnectTcp(port, 1s));
    (void)server.WaitForExit(In(300ms));
  }

  EXPECT_EQ(DescribeWaitStatus(server.WaitForExit(In(10s))), ExitedWith(2));
  server.ReadRemainingOutput(In(5s));
  EXPECT_EQ(server.Stderr(), std::string("\naccept(")
                                 .append(c.listener)
                                 .append("): Socket error: An unknown socket error has occured\n"));
}

INSTANTIATE_TEST_SUITE_P(Listeners, AcceptFailure,
                         ::testing::Values(AcceptCase{"Chargen", true, "sockTCPChargenListen"},
                                           AcceptCase{"Echo", false, "sockTCPEchoListen"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvane::e2e
