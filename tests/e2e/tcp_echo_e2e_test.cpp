// TCP echo against the real binary: data comes back whole and in order however much there
// is, a half-closed client gets everything and then the end, urgent data is ordinary data, and
// the status line counts what is sent back.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// Where two byte strings first differ, for failure messages that do not print megabytes.
std::string FirstDifference(const std::string& got, const std::string& expected) {
  std::size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  if (i == got.size() && i == expected.size()) return "identical";
  return "got " + std::to_string(got.size()) + " bytes for " + std::to_string(expected.size()) +
         ", first difference at byte " + std::to_string(i);
}

// What one connection sends, half-closing after it, and everything it gets back to the end.
StreamTraffic SendThenHalfClose(int fd, std::string_view data) {
  StreamTraffic t;
  t.fd = fd;
  t.send = data;
  t.halfClose = true;
  t.receive = std::numeric_limits<std::size_t>::max();
  return t;
}

using TcpEcho = ServingTest;

TEST_F(TcpEcho, SendsBackWhatTheClientWrites) {
  const UniqueFd client = ConnectTcp(echoPort());
  ASSERT_TRUE(client.Valid()) << std::strerror(errno);
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  for (const std::string& message : {std::string("hello tcp\n"), everyByte}) {
    ASSERT_TRUE(SendAll(client.Get(), message, In(5s)));
    EXPECT_EQ(ReceiveExactly(client.Get(), message.size(), In(5s)), message);
  }
  EXPECT_EQ(WaitForStreamEnd(client.Get(), In(100ms)), StreamEnd::kStillOpen);
}

// Written and read at once, any amount comes back byte for byte and in order. Once the client
// shuts down its sending side, it gets the rest of its data and then the server's close. The
// sizes are around one receive of the server (1460) and far beyond its socket buffers.
TEST_F(TcpEcho, SendsBackEverythingInOrderThenClosesAfterTheClientHalfCloses) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1460},
                                 std::size_t{1461}, std::size_t{100'000}, std::size_t{1} << 20}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const UniqueFd client = ConnectTcp(echoPort());
    ASSERT_TRUE(client.Valid()) << std::strerror(errno);
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    std::vector<StreamTraffic> traffic{SendThenHalfClose(client.Get(), data)};
    ExchangeTraffic(traffic, In(10s));
    const StreamTraffic& t = traffic[0];
    ASSERT_TRUE(t.sent == data.size() && t.ended && t.error == 0) << Describe(t);
    ASSERT_TRUE(t.received == data) << FirstDifference(t.received, data);
  }
}

// Clients served side by side each get their own data back, none of another's.
TEST_F(TcpEcho, KeepsTheDataOfClientsServedAtOnceApart) {
  constexpr int kClients = 6;
  std::vector<UniqueFd> clients;
  std::vector<std::string> data;
  std::vector<StreamTraffic> traffic;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(ConnectTcp(echoPort()));
    ASSERT_TRUE(clients.back().Valid()) << std::strerror(errno);
    data.push_back(RandomBytes(256 * 1024, 100 + static_cast<unsigned>(i)));
  }
  for (int i = 0; i < kClients; ++i) {
    traffic.push_back(SendThenHalfClose(clients[static_cast<std::size_t>(i)].Get(),
                                        data[static_cast<std::size_t>(i)]));
  }
  ExchangeTraffic(traffic, In(30s));
  for (std::size_t i = 0; i < traffic.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_TRUE(traffic[i].ended && traffic[i].error == 0) << Describe(traffic[i]);
    EXPECT_TRUE(traffic[i].received == data[i]) << FirstDifference(traffic[i].received, data[i]);
  }
}

// Urgent data is ordinary data to the server: each urgent byte comes back in its place in the
// stream, even as the first byte of the connection, and the client stays and is served on.
TEST_F(TcpEcho, SendsUrgentDataBackInlineAndKeepsTheClient) {
  const UniqueFd client = ConnectTcp(echoPort());
  ASSERT_TRUE(client.Valid()) << std::strerror(errno);
  ASSERT_EQ(send(client.Get(), "U", 1, MSG_OOB | MSG_NOSIGNAL), 1) << std::strerror(errno);
  ASSERT_TRUE(SendAll(client.Get(), "ab", In(5s)));
  ASSERT_EQ(send(client.Get(), "V", 1, MSG_OOB | MSG_NOSIGNAL), 1) << std::strerror(errno);
  ASSERT_TRUE(SendAll(client.Get(), "cd", In(5s)));
  EXPECT_EQ(ReceiveExactly(client.Get(), 6, In(5s)), "UabVcd");

  ASSERT_TRUE(SendAll(client.Get(), "still here", In(5s)));
  EXPECT_EQ(ReceiveExactly(client.Get(), 10, In(5s)), "still here");
  EXPECT_TRUE(WaitForStatus(
      server(), [](const StatusFigures& f) { return f.echoConns == 1; }, In(10s)))
      << server().Stdout();
  EXPECT_EQ(WaitForStreamEnd(client.Get(), In(100ms)), StreamEnd::kStillOpen);
}

// The echo columns estimate every piece sent back at its length plus 54 bytes. A 74-byte piece
// is 128 bytes, exactly one kilobit; each write here is echoed before the next, so each is one
// piece, and every line's kbps is the number of pieces it covers.
TEST_F(TcpEcho, StatusLineCountsEachPieceWithItsHeaders) {
  constexpr std::uint32_t kPieces = 5;
  const UniqueFd client = ConnectTcp(echoPort());
  ASSERT_TRUE(client.Valid()) << std::strerror(errno);
  const std::size_t mark = MarkStatusLines(server());
  for (std::uint32_t i = 0; i < kPieces; ++i) {
    const std::string piece = RandomBytes(74, i);
    ASSERT_TRUE(SendAll(client.Get(), piece, In(5s)));
    ASSERT_EQ(ReceiveExactly(client.Get(), piece.size(), In(5s)), piece);
  }
  const std::size_t end = MarkStatusLines(server()) + 1;
  const std::vector<StatusFigures> lines = StatusLinesAfter(server(), mark, end - mark, In(10s));
  ASSERT_EQ(lines.size(), end - mark) << server().Stdout();
  std::uint32_t kbits = 0;
  for (const StatusFigures& line : lines) kbits += line.echoKbps;
  EXPECT_EQ(kbits, kPieces) << server().Stdout();
}

}  // namespace
}  // namespace orvane::e2e
