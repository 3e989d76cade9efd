// TCP chargen against the real binary: the stream itself, input that is read and thrown away,
// and clients that leave in every way a client can.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBlock = kChargenBlockSize;

class TcpChargen : public ServingTest {
 protected:
  // A connected client that has received the first `size` bytes of its stream, all correct.
  UniqueFd ClientWithStream(std::size_t size = kBlock) {
    UniqueFd client = ConnectTcp(chargenPort());
    EXPECT_TRUE(client.Valid()) << std::strerror(errno);
    if (!client.Valid()) return client;
    const std::string start = ReceiveExactly(client.Get(), size, In(10s));
    EXPECT_EQ(start.size(), size) << "the stream did not start";
    EXPECT_EQ(ChargenMismatch(start, 0), "");
    return client;
  }

  bool WaitForChargenClients(std::uint32_t count) {
    return WaitForStatus(
        server(), [count](const StatusFigures& f) { return f.chargenConns == count; }, In(10s));
  }
};

// The block is space to DEL (0x7F) over and over, 1460 bytes long, so it ends in '3' and the
// next block starts again at a space: the stream is not one endless cycle of 96.
TEST_F(TcpChargen, SendsTheSameBlockOverAndOver) {
  const UniqueFd client = ConnectTcp(chargenPort());
  ASSERT_TRUE(client.Valid()) << std::strerror(errno);
  const std::size_t size = 10 * kBlock + 700;
  const std::string stream = ReceiveExactly(client.Get(), size, In(10s));
  ASSERT_EQ(stream.size(), size);

  EXPECT_EQ(stream.substr(0, 4), " !\"#");
  EXPECT_EQ(stream[94], '~');
  EXPECT_EQ(stream[95], '\x7f');
  EXPECT_EQ(stream[96], ' ');
  EXPECT_EQ(stream.substr(kBlock - 3, 6), "123 !\"");
  EXPECT_EQ(stream.substr(0, kBlock), stream.substr(9 * kBlock, kBlock));
  EXPECT_EQ(ChargenMismatch(stream, 0), "");
}

// Whatever a client sends, urgent data included, is read and thrown away: the stream goes on
// unchanged. The client sends 8 MB, more than the socket buffers on both sides can hold, so
// its sending can only finish if the server really reads.
TEST_F(TcpChargen, ReadsAndDiscardsWhatTheClientSends) {
  const UniqueFd client = ClientWithStream();
  ASSERT_TRUE(client.Valid());
  ASSERT_TRUE(SendAll(client.Get(), "some text\r\n", In(5s)));
  ASSERT_EQ(send(client.Get(), "!", 1, MSG_OOB | MSG_NOSIGNAL), 1) << std::strerror(errno);

  // Bytes that never occur in the stream, so that any of them coming back would show.
  const std::string input(8u << 20, '\x01');
  std::vector<StreamTraffic> traffic(1);
  traffic[0].fd = client.Get();
  traffic[0].send = input;
  traffic[0].receive = 12u << 20;
  ExchangeTraffic(traffic, In(30s));
  ASSERT_EQ(traffic[0].sent, input.size()) << Describe(traffic[0]);
  ASSERT_EQ(traffic[0].received.size(), traffic[0].receive) << Describe(traffic[0]);
  EXPECT_EQ(ChargenMismatch(traffic[0].received, kBlock), "");
  EXPECT_TRUE(WaitForChargenClients(1)) << server().Stdout();
}

// However a client leaves, it alone is removed: the count on the status line drops and the
// client that stays goes on receiving its stream where it left off.
enum class Leaving {
  kHalfClose,    // shuts down its sending side: the server reads the end of its input
  kCloseUnread,  // closes with stream data unread, which the system turns into a reset
  kReset,        // resets on purpose while the server is sending to it
};

struct LeavingCase {
  const char* name;
  Leaving how;
};

void PrintTo(const LeavingCase& c, std::ostream* os) {
  *os << c.name;
}

class TcpChargenLeaving : public TcpChargen, public ::testing::WithParamInterface<LeavingCase> {};

TEST_P(TcpChargenLeaving, RemovesOnlyTheClientThatLeft) {
  UniqueFd staying = ClientWithStream();
  UniqueFd leaving = ClientWithStream();
  ASSERT_TRUE(staying.Valid() && leaving.Valid());
  ASSERT_TRUE(WaitForChargenClients(2)) << server().Stdout();

  switch (GetParam().how) {
    case Leaving::kHalfClose: {
      ASSERT_EQ(shutdown(leaving.Get(), SHUT_WR), 0) << std::strerror(errno);
      // What the server had sent before it saw the end still arrives, then its close.
      std::vector<StreamTraffic> traffic(1);
      traffic[0].fd = leaving.Get();
      traffic[0].receive = std::numeric_limits<std::size_t>::max();
      ExchangeTraffic(traffic, In(20s));
      EXPECT_TRUE(traffic[0].ended && traffic[0].error == 0) << Describe(traffic[0]);
      EXPECT_EQ(ChargenMismatch(traffic[0].received, kBlock), "");
      break;
    }
    case Leaving::kCloseUnread:
      leaving.Reset();
      break;
    case Leaving::kReset:
      ResetConnection(leaving);
      break;
  }

  EXPECT_TRUE(WaitForChargenClients(1)) << server().Stdout();
  const std::string more = ReceiveExactly(staying.Get(), 100 * kBlock, In(10s));
  EXPECT_EQ(more.size(), 100 * kBlock);
  EXPECT_EQ(ChargenMismatch(more, kBlock), "");
  ExpectStillRunning();
}

INSTANTIATE_TEST_SUITE_P(Ways, TcpChargenLeaving,
                         ::testing::Values(LeavingCase{"HalfClose", Leaving::kHalfClose},
                                           LeavingCase{"CloseUnread", Leaving::kCloseUnread},
                                           LeavingCase{"Reset", Leaving::kReset}),
                         [](const auto& info) { return std::string(info.param.name); });

// Clients that reset in the middle of being sent to, many of them, round after round, while
// another client is being served all along: only they are lost.
TEST_F(TcpChargen, ResetsUnderLoadCostOnlyTheClientsThatReset) {
  constexpr int kRounds = 10;
  constexpr int kPerRound = 8;
  UniqueFd steady = ClientWithStream();
  ASSERT_TRUE(steady.Valid());
  std::size_t steadyOffset = kBlock;

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<UniqueFd> clients;
    std::vector<StreamTraffic> traffic;
    for (int i = 0; i < kPerRound; ++i) {
      clients.push_back(ConnectTcp(chargenPort()));
      ASSERT_TRUE(clients.back().Valid()) << std::strerror(errno);
      traffic.emplace_back();
      traffic.back().fd = clients.back().Get();
      traffic.back().receive = 64 * 1024;
    }
    traffic.emplace_back();
    traffic.back().fd = steady.Get();
    traffic.back().receive = 64 * 1024;
    ExchangeTraffic(traffic, In(20s));
    for (const StreamTraffic& t : traffic) {
      ASSERT_EQ(t.received.size(), t.receive) << Describe(t);
    }
    for (int i = 0; i < kPerRound; ++i) {
      EXPECT_EQ(ChargenMismatch(traffic[static_cast<std::size_t>(i)].received, 0), "");
    }
    EXPECT_EQ(ChargenMismatch(traffic.back().received, steadyOffset), "");
    steadyOffset += traffic.back().received.size();
    // The server has more for every one of them in flight when they reset.
    for (UniqueFd& client : clients) ResetConnection(client);
  }

  EXPECT_TRUE(WaitForChargenClients(1)) << server().Stdout();
  const std::string more = ReceiveExactly(steady.Get(), 100 * kBlock, In(10s));
  EXPECT_EQ(more.size(), 100 * kBlock);
  EXPECT_EQ(ChargenMismatch(more, steadyOffset), "");
  ExpectStillRunning();
}

}  // namespace
}  // namespace orvane::e2e
