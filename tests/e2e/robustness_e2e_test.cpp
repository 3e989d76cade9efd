// Nothing a client does ends the server or costs it more than that client: storms of
// connections reset at once, clients that stop reading, and clients leaving in every way,
// after which the server holds exactly the descriptors it held when idle.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBlock = kChargenBlockSize;

// Byte i of what the stalled echo client sends: no short period, so that a piece lost,
// repeated or out of place shows.
char EchoStreamByte(std::size_t i) {
  const std::size_t mixed = i ^ (i >> 7) ^ (i >> 17);
  return static_cast<char>((mixed * 131u + 7u) & 0xFF);
}

std::string EchoStream(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = EchoStreamByte(i);
  return bytes;
}

// Bytes waiting to be read on a socket.
int Queued(int fd) {
  int queued = 0;
  return ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

class Robustness : public ServingTest {
 protected:
  // All three services answer a new client: a correct chargen block, a TCP echo and a UDP echo.
  void ExpectAllServicesServe() {
    const UniqueFd chargen = ConnectTcp(chargenPort());
    ASSERT_TRUE(chargen.Valid()) << "chargen: " << std::strerror(errno);
    const std::string block = ReceiveExactly(chargen.Get(), 100 * kBlock, In(10s));
    EXPECT_EQ(block.size(), 100 * kBlock) << "chargen";
    EXPECT_EQ(ChargenMismatch(block, 0), "");

    const UniqueFd echo = ConnectTcp(echoPort());
    ASSERT_TRUE(echo.Valid()) << "echo: " << std::strerror(errno);
    const std::string message = EchoStream(5000);
    ASSERT_TRUE(SendAll(echo.Get(), message, In(5s)));
    EXPECT_TRUE(ReceiveExactly(echo.Get(), message.size(), In(10s)) == message) << "TCP echo";

    const UniqueFd udp = BindUdp("127.0.0.1", 0);
    ASSERT_TRUE(udp.Valid()) << std::strerror(errno);
    ASSERT_TRUE(SendDatagram(udp.Get(), echoPort(), "udp"));
    const auto answer = ReceiveDatagram(udp.Get(), In(5s));
    EXPECT_TRUE(answer.has_value() && answer->payload == "udp") << "UDP echo";
  }

  bool WaitForClients(std::uint32_t chargen, std::uint32_t echo) {
    return WaitForStatus(
        server(),
        [=](const StatusFigures& f) { return f.chargenConns == chargen && f.echoConns == echo; },
        In(10s));
  }
};

// A thousand connections a port, each reset as soon as it is made, many of them before the
// server has even taken them in. None may end the server, and none may be left behind. The
// server takes at most one connection a port in each pass of its loop and the listen queue
// holds 5 more, so the connections come four at a time with four passes in between: faster,
// and the system would turn connections away and have them retried a second later.
TEST_F(Robustness, SurvivesAThousandConnectAndResetCyclesOnEachPort) {
  constexpr int kCycles = 1000;
  constexpr int kBurst = 4;
  const std::size_t idle = IdleDescriptors();
  const Deadline deadline = In(40s);
  int cycles = 0;
  while (cycles < kCycles && Clock::now() < deadline) {
    for (int i = 0; i < kBurst; ++i, ++cycles) {
      for (const std::uint16_t port : {chargenPort(), echoPort()}) {
        UniqueFd client = ConnectTcp(port, 5000ms);
        ASSERT_TRUE(client.Valid())
            << "cycle " << cycles << ", port " << port << ": " << std::strerror(errno)
            << "; the server " << DescribeWaitStatus(server().WaitForExit(Clock::now()));
        ResetConnection(client);
      }
    }
    ASSERT_NO_FATAL_FAILURE(GoRoundTheLoop(kBurst));
  }
  EXPECT_EQ(cycles, kCycles) << "out of time";
  ExpectStillRunning();
  EXPECT_TRUE(WaitForClients(0, 0)) << server().Stdout();
  EXPECT_EQ(WaitForDescriptorCount(server().pid(), idle, In(10s)), idle);
  ExpectAllServicesServe();
}

// A chargen client that reads nothing more and an echo client that sends all the connection
// takes without reading anything back are simply not served until they read again; everyone
// else is served meanwhile, and the two lose nothing.
TEST_F(Robustness, ClientsThatStopReadingHoldUpNoOneElse) {
  const UniqueFd stalledChargen = ConnectTcp(chargenPort());
  ASSERT_TRUE(stalledChargen.Valid()) << std::strerror(errno);
  ASSERT_EQ(ReceiveExactly(stalledChargen.Get(), kBlock, In(10s)).size(), kBlock);

  const UniqueFd stalledEcho = ConnectTcp(echoPort());
  ASSERT_TRUE(stalledEcho.Valid()) << std::strerror(errno);
  // Sends until the connection takes nothing more for a while: both directions are full.
  std::size_t stuffed = 0;
  const Deadline stuffing = In(15s);
  std::string chunk;
  for (bool full = false; !full && stuffed < (256u << 20) && Clock::now() < stuffing;) {
    chunk.resize(64 * 1024);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = EchoStreamByte(stuffed + i);
    const ssize_t n =
        send(stalledEcho.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      stuffed += static_cast<std::size_t>(n);
    } else {
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
      pollfd p{stalledEcho.Get(), POLLOUT, 0};
      full = poll(&p, 1, 300) == 0;
    }
  }
  ASSERT_GT(stuffed, 0u);
  ASSERT_LT(stuffed, 256u << 20) << "the server takes echo data that cannot go back";
  // The stalled chargen client's queue stops growing once the server no longer sends to it.
  int queued = Queued(stalledChargen.Get());
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(200ms);
    const int now = Queued(stalledChargen.Get());
    if (now == queued) break;
    queued = now;
  }
  ASSERT_GT(queued, 0);

  ExpectAllServicesServe();
  EXPECT_TRUE(WaitForClients(1, 1)) << server().Stdout();

  // Reading again, the chargen client gets the stream on from where it stopped...
  const std::size_t chargenWanted = static_cast<std::size_t>(queued) + 100 * kBlock;
  const std::string chargen = ReceiveExactly(stalledChargen.Get(), chargenWanted, In(15s));
  EXPECT_EQ(chargen.size(), chargenWanted);
  EXPECT_EQ(ChargenMismatch(chargen, kBlock), "");
  // ...and the echo client all it sent, in order, and then the end once it half-closes.
  std::vector<StreamTraffic> traffic(1);
  traffic[0].fd = stalledEcho.Get();
  traffic[0].halfClose = true;
  traffic[0].receive = std::numeric_limits<std::size_t>::max();
  ExchangeTraffic(traffic, In(15s));
  EXPECT_TRUE(traffic[0].ended && traffic[0].error == 0) << Describe(traffic[0]);
  EXPECT_EQ(traffic[0].received.size(), stuffed);
  EXPECT_TRUE(traffic[0].received == EchoStream(stuffed)) << "the echoed data differs";
  ExpectStillRunning();
}

// Clients come and go in every way a client can: the server closes each socket it took in,
// and ends up holding as many descriptors as when it was idle.
TEST_F(Robustness, HoldsNoMoreDescriptorsOnceClientsHaveGone) {
  const std::size_t idle = IdleDescriptors();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    UniqueFd chargenHalfClose = ConnectTcp(chargenPort());
    UniqueFd chargenCloseUnread = ConnectTcp(chargenPort());
    UniqueFd chargenReset = ConnectTcp(chargenPort());
    UniqueFd echoClose = ConnectTcp(echoPort());
    UniqueFd echoHalfClose = ConnectTcp(echoPort());
    UniqueFd echoResetWithDataOnTheWay = ConnectTcp(echoPort());
    UniqueFd echoResetAtOnce = ConnectTcp(echoPort());
    for (const UniqueFd* c : {&chargenHalfClose, &chargenCloseUnread, &chargenReset, &echoClose,
                              &echoHalfClose, &echoResetWithDataOnTheWay, &echoResetAtOnce}) {
      ASSERT_TRUE(c->Valid()) << std::strerror(errno);
    }
    ASSERT_TRUE(SendAll(echoHalfClose.Get(), "bye", In(5s)));
    ASSERT_EQ(ReceiveExactly(echoHalfClose.Get(), 3, In(5s)), "bye");
    ASSERT_TRUE(SendAll(echoClose.Get(), "hi", In(5s)));
    ASSERT_EQ(ReceiveExactly(echoClose.Get(), 2, In(5s)), "hi");
    ASSERT_EQ(ReceiveExactly(chargenHalfClose.Get(), kBlock, In(5s)).size(), kBlock);
    ASSERT_EQ(ReceiveExactly(chargenCloseUnread.Get(), kBlock, In(5s)).size(), kBlock);
    ASSERT_EQ(ReceiveExactly(chargenReset.Get(), kBlock, In(5s)).size(), kBlock);
    // The count does tell clients: every one taken in is a descriptor more.
    ASSERT_EQ(WaitForDescriptorCount(server().pid(), idle + 7, In(10s)), idle + 7);

    ASSERT_TRUE(SendAll(echoResetWithDataOnTheWay.Get(), EchoStream(100'000), In(5s)));
    ResetConnection(echoResetWithDataOnTheWay);
    ResetConnection(echoResetAtOnce);
    ResetConnection(chargenReset);
    chargenCloseUnread.Reset();
    echoClose.Reset();
    ASSERT_EQ(shutdown(chargenHalfClose.Get(), SHUT_WR), 0);
    ASSERT_EQ(shutdown(echoHalfClose.Get(), SHUT_WR), 0);
    ASSERT_EQ(WaitForStreamEnd(echoHalfClose.Get(), In(10s)), StreamEnd::kClosed);
    ASSERT_EQ(WaitForDescriptorCount(server().pid(), idle, In(10s)), idle);
  }
  EXPECT_TRUE(WaitForClients(0, 0)) << server().Stdout();
  ExpectStillRunning();
}

}  // namespace
}  // namespace orvane::e2e
