// UDP echo against the real binary: what comes back and to whom, which datagrams are never
// answered, and how the status line counts the answered ones.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

// `size` bytes that differ from datagram to datagram (by `seed`) and hold every byte value,
// zero included, so that nothing treats the payload as text.
std::string Payload(std::size_t size, unsigned seed) {
  std::string payload(size, '\0');
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return payload;
}

class UdpEcho : public ServingTest {
 protected:
  // Expects nothing to come back to `fd` for what it has sent so far. The server takes
  // datagrams in the order they arrive, so once a probe sent afterwards has been answered, an
  // answer to `fd` would already be waiting there.
  void ExpectNoAnswerTo(int fd) {
    const UniqueFd probe = BindUdp("127.0.0.1", 0);
    ASSERT_TRUE(probe.Valid()) << std::strerror(errno);
    ASSERT_TRUE(SendDatagram(probe.Get(), echoPort(), "probe"));
    const auto probeAnswer = ReceiveDatagram(probe.Get(), In(5s));
    ASSERT_TRUE(probeAnswer.has_value()) << "the server answers nothing at all";
    ASSERT_EQ(probeAnswer->payload, "probe");
    const auto stray = ReceiveDatagram(fd, In(200ms));
    EXPECT_FALSE(stray.has_value()) << "answered with " << stray->payload.size() << " bytes";
  }
};

// Each sender gets its own datagram back, unchanged, from the echo port: the answer goes to the
// address and port the datagram came from, not to some fixed peer.
TEST_F(UdpEcho, AnswersEachSenderWithItsOwnDatagramUnchanged) {
  const UniqueFd first = BindUdp("127.0.0.3", 0);
  const UniqueFd second = BindUdp("127.0.0.4", 0);
  ASSERT_TRUE(first.Valid() && second.Valid()) << std::strerror(errno);
  const std::string firstPayload = Payload(256, 1);
  const std::string secondPayload = Payload(300, 2);
  ASSERT_TRUE(SendDatagram(first.Get(), echoPort(), firstPayload));
  ASSERT_TRUE(SendDatagram(second.Get(), echoPort(), secondPayload));

  for (const auto& [fd, payload] :
       {std::pair{first.Get(), &firstPayload}, std::pair{second.Get(), &secondPayload}}) {
    const auto answer = ReceiveDatagram(fd, In(5s));
    ASSERT_TRUE(answer.has_value()) << "no answer";
    EXPECT_TRUE(answer->payload == *payload) << "a datagram of " << answer->payload.size()
                                             << " bytes came back in place of " << payload->size();
    EXPECT_EQ(answer->fromPort, echoPort());
    EXPECT_FALSE(ReceiveDatagram(fd, In(100ms)).has_value()) << "answered twice";
  }
}

// Who is answered: any sender port from 1024 up except the echo port itself, from any address
// whose last octet is neither 0 nor 255.
enum class SenderPort { kAny, k1023, k1024, kEchoPort, kChargenPort };

struct SenderCase {
  const char* name;
  const char* address;
  SenderPort port;
  bool answered;
};

void PrintTo(const SenderCase& c, std::ostream* os) {
  *os << c.name;
}

class UdpEchoSender : public UdpEcho, public ::testing::WithParamInterface<SenderCase> {};

TEST_P(UdpEchoSender, IsAnsweredOnlyIfAllowed) {
  const SenderCase& c = GetParam();
  UniqueFd sender;
  switch (c.port) {
    case SenderPort::kAny:
      sender = BindUdp(c.address, 0);
      break;
    case SenderPort::k1023:
      sender = BindUdp(c.address, 1023);
      if (!sender.Valid() && errno == EACCES) {
        GTEST_SKIP() << "binding port 1023 needs privilege";
      }
      break;
    case SenderPort::k1024:
      sender = BindUdp(c.address, 1024);
      break;
    case SenderPort::kEchoPort:
      // The server's socket allows address reuse, so a socket of ours that asks for it too can
      // sit on the same port on one loopback address and catch what is sent there.
      sender = BindUdpSharing(c.address, echoPort());
      break;
    case SenderPort::kChargenPort:
      sender = BindUdp(c.address, chargenPort());
      break;
  }
  if (!sender.Valid() && errno == EADDRINUSE) {
    GTEST_SKIP() << "the sender's port is taken";
  }
  ASSERT_TRUE(sender.Valid()) << "bind " << c.address << ": " << std::strerror(errno);

  const std::string payload = Payload(64, 3);
  ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), payload));
  if (c.answered) {
    const auto answer = ReceiveDatagram(sender.Get(), In(5s));
    ASSERT_TRUE(answer.has_value()) << "no answer";
    EXPECT_TRUE(answer->payload == payload);
    EXPECT_EQ(answer->fromPort, echoPort());
  } else {
    ExpectNoAnswerTo(sender.Get());
  }
  ExpectStillRunning();
}

INSTANTIATE_TEST_SUITE_P(
    Senders, UdpEchoSender,
    ::testing::Values(SenderCase{"Loopback", "127.0.0.1", SenderPort::kAny, true},
                      SenderCase{"LastOctet254", "127.0.0.254", SenderPort::kAny, true},
                      SenderCase{"LastOctet1", "127.1.0.1", SenderPort::kAny, true},
                      SenderCase{"LastOctet255", "127.0.0.255", SenderPort::kAny, false},
                      SenderCase{"LastOctet0", "127.1.0.0", SenderPort::kAny, false},
                      SenderCase{"Port1024", "127.0.0.1", SenderPort::k1024, true},
                      SenderCase{"Port1023", "127.0.0.1", SenderPort::k1023, false},
                      SenderCase{"TheEchoPortItself", "127.0.0.2", SenderPort::kEchoPort, false},
                      SenderCase{"TheChargenPort", "127.0.0.2", SenderPort::kChargenPort, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Datagrams of 1 to 1500 bytes come back whole; empty ones and longer ones are not answered at
// all, not even in part. Each refused datagram is followed by a marker from the same socket,
// which must be the next thing to come back.
TEST_F(UdpEcho, AnswersOnly1To1500Bytes) {
  struct SizeCase {
    std::size_t size;
    bool answered;
  };
  const SizeCase cases[] = {{0, false},    {1, true},     {1500, true},
                            {1501, false}, {9000, false}, {65507, false}};
  const UniqueFd sender = BindUdp("127.0.0.1", 0);
  ASSERT_TRUE(sender.Valid()) << std::strerror(errno);
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes");
    const std::string payload = Payload(c.size, static_cast<unsigned>(c.size));
    ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), payload)) << std::strerror(errno);
    const std::string marker = "after " + std::to_string(c.size);
    if (!c.answered) {
      ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), marker));
    }
    const auto answer = ReceiveDatagram(sender.Get(), In(5s));
    ASSERT_TRUE(answer.has_value()) << "no answer at all";
    const std::string& expected = c.answered ? payload : marker;
    EXPECT_TRUE(answer->payload == expected)
        << "got " << answer->payload.size() << " bytes, expected " << expected.size();
  }
  ExpectStillRunning();
}

// A quick burst, well within the socket's receive queue, comes back whole and in order.
TEST_F(UdpEcho, ABurstComesBackInOrder) {
  constexpr int kBurst = 50;
  const UniqueFd sender = BindUdp("127.0.0.1", 0);
  ASSERT_TRUE(sender.Valid()) << std::strerror(errno);
  std::vector<std::string> sent;
  for (int i = 0; i < kBurst; ++i) {
    sent.push_back("datagram " + std::to_string(i) + " " + Payload(100, static_cast<unsigned>(i)));
    ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), sent.back()));
  }
  for (int i = 0; i < kBurst; ++i) {
    const auto answer = ReceiveDatagram(sender.Get(), In(5s));
    ASSERT_TRUE(answer.has_value()) << "only " << i << " of " << kBurst << " came back";
    EXPECT_TRUE(answer->payload == sent[static_cast<std::size_t>(i)])
        << "answer " << i << " starts '" << answer->payload.substr(0, 12) << "'";
  }
}

// The UDP columns count exactly the answered datagrams and estimate each at its length plus 42
// bytes. Every answered datagram here has 86 bytes, 128 on the wire, exactly one kilobit, so
// each line's kbps equals its datagram count whichever second the datagrams fall into.
// Refused datagrams in between must not count at all.
TEST_F(UdpEcho, StatusLineCountsExactlyTheAnsweredDatagrams) {
  constexpr std::uint32_t kAnswered = 30;
  const UniqueFd sender = BindUdp("127.0.0.1", 0);
  const UniqueFd refused = BindUdp("127.0.0.255", 0);
  ASSERT_TRUE(sender.Valid() && refused.Valid()) << std::strerror(errno);

  const std::size_t mark = MarkStatusLines(server());
  for (std::uint32_t i = 0; i < kAnswered; ++i) {
    if (i % 10 == 0) {
      ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), ""));
      ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), Payload(1501, i)));
      ASSERT_TRUE(SendDatagram(refused.Get(), echoPort(), Payload(86, i)));
    }
    const std::string payload = Payload(86, i);
    ASSERT_TRUE(SendDatagram(sender.Get(), echoPort(), payload));
    const auto answer = ReceiveDatagram(sender.Get(), In(5s));
    ASSERT_TRUE(answer.has_value() && answer->payload == payload) << "datagram " << i;
  }
  // Counted before sent: the line printed after the last answer covers everything.
  const std::size_t end = MarkStatusLines(server()) + 1;
  const std::vector<StatusFigures> lines = StatusLinesAfter(server(), mark, end - mark, In(10s));
  ASSERT_EQ(lines.size(), end - mark) << server().Stdout();

  std::uint32_t packets = 0;
  for (const StatusFigures& line : lines) {
    packets += line.udpPackets;
    EXPECT_EQ(line.udpKbps, line.udpPackets)
        << "kbps of a line with " << line.udpPackets << " datagrams of 86 bytes";
  }
  EXPECT_EQ(packets, kAnswered) << server().Stdout();
}

}  // namespace
}  // namespace orvane::e2e
