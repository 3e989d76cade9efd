#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_file.h"
#include "engine/service_loop.h"
#include "engine/tcp_chargen.h"
#include "engine/tcp_echo.h"
#include "engine/udp_echo.h"
#include "fake_platform.h"

namespace orvane {
namespace {

using testing::CapturedFile;
using testing::FakePlatform;

constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr std::uint16_t kEchoPort = 2007;

TEST(ChargenPattern, PrintableCycleWithDelRestartingEveryBlock) {
  FakePlatform platform;
  CapturedFile out;
  ServiceState state(platform, out.get());
  FillChargenPattern(state);
  const auto& block = state.bufTCPChargenOut;
  EXPECT_EQ(block[0], ' ');
  EXPECT_EQ(block[94], '~');
  EXPECT_EQ(block[95], '\x7f') << "DEL belongs to the cycle";
  EXPECT_EQ(block[96], ' ');
  EXPECT_EQ(block[1459], '3') << "the block ends in '3'";
  for (std::size_t k = 0; k < block.size(); ++k) {
    ASSERT_EQ(static_cast<unsigned char>(block[k]), 0x20 + k % 96) << k;
  }
}

TEST(UDPEchoSender, OnlyOrdinaryPortsAndHostAddressesAreAnswered) {
  struct Case {
    std::uint32_t address;
    std::uint16_t port;
    bool answered;
  } const cases[] = {
      {kLoopback, 1024, true},       {kLoopback, 65535, true},
      {kLoopback, 1023, false},      {kLoopback, 0, false},
      {0x7F0000FF, 5000, false},     {0x7F010000, 5000, false},
      {0xC0A801FE, 5000, true},      {0xFFFFFFFF, 5000, false},
      {kLoopback, kEchoPort, false}, {kLoopback, kEchoPort + 1, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAnswerableSender({c.address, c.port}, kEchoPort), c.answered)
        << std::hex << c.address << std::dec << ':' << c.port;
  }
}

TEST(UDPEcho, CountsWhatItAnswersAndNothingElse) {
  FakePlatform platform;
  CapturedFile out;
  ServiceState state(platform, out.get());
  OpenServiceSockets(state, {kEchoPort, 2019});
  platform.datagrams = {{10, {kLoopback, 40000}},   {0, {kLoopback, 40000}},
                        {kSocketError, {0, 0}},     {10, {kLoopback, 1023}},
                        {1500, {kLoopback, 40001}}, {10, {kLoopback, kEchoPort}}};
  for (int i = 0; i < 6; ++i) ServeUDPEcho(state);

  EXPECT_EQ(platform.CallsStartingWith("sendto"),
            (std::vector<std::string>{"sendto(3, 10)", "sendto(3, 1500)"}));
  EXPECT_EQ(state.nUDPEchoPackets, 2u);
  EXPECT_EQ(state.nUDPEchoBytes, 10u + 42u + 1500u + 42u);
}

// A service state with the given chargen and echo clients; every client is ready for
// reading and writing unless a test says otherwise.
struct ClientsFixture {
  FakePlatform platform;
  CapturedFile out;
  ServiceState state{platform, out.get()};

  ClientsFixture(std::vector<SocketHandle> chargen, std::vector<SocketHandle> echo) {
    FillChargenPattern(state);
    for (SocketHandle s : chargen) {
      state.sockTCPChargenClients.Append(s);
      state.fdsRead.Add(s);
      state.fdsWrite.Add(s);
    }
    for (SocketHandle s : echo) {
      state.sockTCPEchoClients.Append(s);
      state.fdsRead.Add(s);
      state.fdsWrite.Add(s);
    }
  }

  std::vector<SocketHandle> Table(const ClientTable& table) const {
    return {table.sockets.begin(), table.sockets.begin() + table.count};
  }
};

TEST(ChargenClients, RemovedClientsSlotIsTakenByTheLastAndServedInTheSamePass) {
  ClientsFixture f({10, 11, 12}, {});
  // Client 10 has closed its side; the others have sent a little.
  f.platform.onRecv = [](SocketHandle s, int) { return s == 10 ? 0 : 5; };
  ServeTCPChargenClients(f.state);

  EXPECT_EQ(f.platform.calls,
            (std::vector<std::string>{"recv(10, 1000)", "closesocket(10)", "recv(12, 1000)",
                                      "send(12, 1460)", "recv(11, 1000)", "send(11, 1460)"}));
  EXPECT_EQ(f.Table(f.state.sockTCPChargenClients), (std::vector<SocketHandle>{12, 11}));
  EXPECT_EQ(f.state.nTCPChargenBytes, 2u * 1514u);
}

TEST(ChargenClients, ShortOrFailedSendsAndExceptionalClientsLeave) {
  ClientsFixture f({10, 11, 12, 13}, {});
  f.state.fdsRead.Clear();  // nothing to read; only sends happen
  f.state.fdsExcept.Add(13);
  f.platform.onSend = [](SocketHandle s, int len) {
    return s == 10 ? len - 1 : s == 11 ? kSocketError : len;
  };
  ServeTCPChargenClients(f.state);

  EXPECT_EQ(f.Table(f.state.sockTCPChargenClients), (std::vector<SocketHandle>{12}));
  EXPECT_EQ(f.platform.CallsStartingWith("closesocket").size(), 3u);
  EXPECT_TRUE(f.platform.CallsStartingWith("send(13").empty()) << "exceptional: not served";
  EXPECT_EQ(f.state.nTCPChargenBytes, 1514u);
}

TEST(EchoClients, DataIsTakenOnlyWhenItCanGoStraightBack) {
  ClientsFixture f({}, {20, 21, 22, 23});
  f.state.fdsWrite = ReadinessSet{};
  f.state.fdsWrite.Add(20);  // 21 is readable but cannot be written to
  f.state.fdsWrite.Add(22);
  f.state.fdsWrite.Add(23);
  f.platform.onRecv = [](SocketHandle s, int len) { return s == 22 ? kSocketError : len; };
  f.platform.onSend = [](SocketHandle s, int len) { return s == 23 ? len / 2 : len; };
  ServeTCPEchoClients(f.state);

  EXPECT_TRUE(f.platform.CallsStartingWith("recv(21").empty());
  EXPECT_EQ(f.platform.CallsStartingWith("send"),
            (std::vector<std::string>{"send(20, 1460)", "send(23, 1460)"}));
  EXPECT_EQ(f.Table(f.state.sockTCPEchoClients), (std::vector<SocketHandle>{20, 21}));
  EXPECT_EQ(f.state.nTCPEchoBytes, 1460u + 54u);
}

}  // namespace
}  // namespace orvane
