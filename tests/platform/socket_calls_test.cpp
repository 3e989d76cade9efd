// The socket calls other than select(), on real loopback sockets: what the services and the
// failure reports rely on when a datagram is too long, a port is taken, a peer resets.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/linux_platform.h"
#include "tests/platform/loopback.h"

namespace orvane::platform_test {
namespace {

constexpr int kAddressInUse = 10048;
constexpr int kMessageTooLong = 10040;
constexpr int kBadDescriptor = 10009;

int SocketOption(int fd, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, name, &value, &length) != 0) return -1;
  return value;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(kLoopback);
  sin.sin_port = htons(port);
  return sin;
}

bool SendDatagram(int from, std::uint16_t toPort, const std::string& payload) {
  const sockaddr_in to = Loopback(toPort);
  return ::sendto(from, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(payload.size());
}

// A datagram socket made and bound (to every address, port chosen by the system) through
// the platform, as the UDP echo service makes its own.
OwnedFd PlatformUdp(LinuxPlatform& platform) {
  OwnedFd fd = Own(platform.socket(SockType::Datagram));
  if (fd.Valid() && platform.bind(Handle(fd), 0) != 0) fd.Reset();
  return fd;
}

// A listener made as the TCP services make theirs, on a port the system picks.
OwnedFd PlatformListener(LinuxPlatform& platform) {
  OwnedFd fd = Own(platform.socket(SockType::Stream));
  if (!fd.Valid() || platform.setsockopt(Handle(fd), SockOption::ReuseAddr, 1) != 0 ||
      platform.bind(Handle(fd), 0) != 0 || platform.listen(Handle(fd), 8) != 0) {
    fd.Reset();
  }
  return fd;
}

TEST(PlatformSockets, SocketMakesAnInternetSocketOfTheKindAsked) {
  LinuxPlatform platform;
  const struct {
    SockType type;
    int kernelType;
  } kinds[] = {{SockType::Datagram, SOCK_DGRAM}, {SockType::Stream, SOCK_STREAM}};
  for (const auto& kind : kinds) {
    const OwnedFd fd = Own(platform.socket(kind.type));
    ASSERT_TRUE(fd.Valid());
    EXPECT_EQ(SocketOption(fd.Get(), SO_TYPE), kind.kernelType);
    EXPECT_EQ(SocketOption(fd.Get(), SO_DOMAIN), AF_INET);
  }
}

// ---------------------------------------------------------------------------------------------
// recvfrom

TEST(PlatformRecvfrom, GivesTheDatagramAndItsSenderInHostOrder) {
  LinuxPlatform platform;
  const OwnedFd service = PlatformUdp(platform);
  ASSERT_TRUE(service.Valid());
  // An asymmetric sender address, so that a byte-order slip cannot go unnoticed.
  constexpr std::uint32_t kSenderAddress = 0x7F010203;  // 127.1.2.3
  const OwnedFd sender = BoundUdp(kSenderAddress);
  ASSERT_TRUE(sender.Valid());
  const std::uint16_t senderPort = LocalPort(sender.Get());
  ASSERT_TRUE(SendDatagram(sender.Get(), LocalPort(service.Get()), "hello"));
  ASSERT_TRUE(WaitFor(service.Get(), POLLIN));

  char buf[1500];
  PeerAddress from;
  ASSERT_EQ(platform.recvfrom(Handle(service), buf, sizeof buf, from), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(from.address, kSenderAddress);
  EXPECT_EQ(from.port, senderPort);

  // And the answer goes back to exactly that sender.
  ASSERT_EQ(platform.sendto(Handle(service), "back", 4, from), 4);
  ASSERT_TRUE(WaitFor(sender.Get(), POLLIN));
  char answer[8];
  EXPECT_EQ(::recv(sender.Get(), answer, sizeof answer, MSG_DONTWAIT), 4);
}

// Datagrams of several sizes in a row into the echo service's 1500-byte buffer: each receive
// takes exactly one datagram, a datagram too long fails and is gone whole, an empty one is a
// receive of 0 bytes.
TEST(PlatformRecvfrom, EachReceiveTakesOneWholeDatagram) {
  LinuxPlatform platform;
  const OwnedFd service = PlatformUdp(platform);
  const OwnedFd sender = BoundUdp();
  ASSERT_TRUE(service.Valid() && sender.Valid());
  const struct {
    std::string payload;
    int result;
    int error;
  } datagrams[] = {
      {std::string(1500, 'f'), 1500, 0},
      {std::string(1501, 't'), kSocketError, kMessageTooLong},
      {"abc", 3, 0},
      {std::string(9000, 'T'), kSocketError, kMessageTooLong},
      {"", 0, 0},
      {"z", 1, 0},
  };
  for (const auto& d : datagrams) {
    ASSERT_TRUE(SendDatagram(sender.Get(), LocalPort(service.Get()), d.payload));
  }
  std::vector<char> buf(1500 + 100, '\0');
  for (const auto& d : datagrams) {
    SCOPED_TRACE(d.payload.size());
    ASSERT_TRUE(WaitFor(service.Get(), POLLIN));
    PeerAddress from;
    const int n = platform.recvfrom(Handle(service), buf.data(), 1500, from);
    ASSERT_EQ(n, d.result);
    if (n == kSocketError) {
      EXPECT_EQ(platform.WSAGetLastError(), d.error);
    } else {
      EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(n)), d.payload);
      EXPECT_EQ(from.port, LocalPort(sender.Get()));
    }
  }
  pollfd p{service.Get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "something was left over";
}

// ---------------------------------------------------------------------------------------------
// bind, setsockopt, listen, accept, closesocket

// Another socket holding the port, and the new one without SO_REUSEADDR: bind fails with the
// code the failure report names "address in use".
TEST(PlatformBind, PortHeldByAnotherSocketIsInUse) {
  const struct {
    const char* name;
    SockType type;
    bool holderListens;
  } cases[] = {
      {"stream port held by a listener", SockType::Stream, true},
      {"datagram port held by a bound socket", SockType::Datagram, false},
  };
  LinuxPlatform platform;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const OwnedFd holder = Own(platform.socket(c.type));
    ASSERT_TRUE(holder.Valid());
    ASSERT_EQ(platform.bind(Handle(holder), 0), 0);
    if (c.holderListens) {
      ASSERT_EQ(platform.listen(Handle(holder), 4), 0);
    }
    const OwnedFd late = Own(platform.socket(c.type));
    ASSERT_TRUE(late.Valid());
    EXPECT_EQ(platform.bind(Handle(late), LocalPort(holder.Get())), kSocketError);
    EXPECT_EQ(platform.WSAGetLastError(), kAddressInUse);
  }
}

// A restarted server finds its old port held only by a connection it closed itself, lingering
// in TIME_WAIT: with SO_REUSEADDR the port is its again, without it the port is in use.
TEST(PlatformBind, ReuseAddrTakesBackAPortLeftInTimeWait) {
  LinuxPlatform platform;
  std::uint16_t port = 0;
  {
    const OwnedFd listener = PlatformListener(platform);
    ASSERT_TRUE(listener.Valid());
    port = LocalPort(listener.Get());
    OwnedFd client = ConnectTcp(port);
    ASSERT_TRUE(client.Valid());
    ASSERT_TRUE(WaitFor(listener.Get(), POLLIN));
    OwnedFd server = Own(platform.accept(Handle(listener)));
    ASSERT_TRUE(server.Valid());
    server.Reset();  // the server's side closes first, so its side waits in TIME_WAIT
    ASSERT_TRUE(WaitFor(client.Get(), POLLIN));
  }

  const OwnedFd without = Own(platform.socket(SockType::Stream));
  ASSERT_TRUE(without.Valid());
  EXPECT_EQ(platform.bind(Handle(without), port), kSocketError);
  EXPECT_EQ(platform.WSAGetLastError(), kAddressInUse);

  const OwnedFd with = Own(platform.socket(SockType::Stream));
  ASSERT_TRUE(with.Valid());
  ASSERT_EQ(platform.setsockopt(Handle(with), SockOption::ReuseAddr, 1), 0);
  EXPECT_EQ(SocketOption(with.Get(), SO_REUSEADDR), 1);
  EXPECT_EQ(platform.bind(Handle(with), port), 0);
  EXPECT_EQ(platform.listen(Handle(with), 4), 0);
}

TEST(PlatformAccept, ListenerHandsOutConnectionsThatCarryData) {
  LinuxPlatform platform;
  const OwnedFd listener = PlatformListener(platform);
  ASSERT_TRUE(listener.Valid());
  EXPECT_EQ(SocketOption(listener.Get(), SO_ACCEPTCONN), 1);
  const OwnedFd client = ConnectTcp(LocalPort(listener.Get()));
  ASSERT_TRUE(client.Valid());
  ASSERT_TRUE(WaitFor(listener.Get(), POLLIN));

  const OwnedFd server = Own(platform.accept(Handle(listener)));
  ASSERT_TRUE(server.Valid());
  ASSERT_NE(server.Get(), listener.Get());
  // It is this client's connection: the two ends name each other.
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(::getpeername(server.Get(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(ntohs(peer.sin_port), LocalPort(client.Get()));
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), kLoopback);

  ASSERT_EQ(platform.send(Handle(server), "to client", 9), 9);
  ASSERT_TRUE(WaitFor(client.Get(), POLLIN));
  char buf[32];
  EXPECT_EQ(::recv(client.Get(), buf, sizeof buf, MSG_DONTWAIT), 9);
  ASSERT_EQ(::send(client.Get(), "to server", 9, MSG_NOSIGNAL), 9);
  ASSERT_TRUE(WaitFor(server.Get(), POLLIN));
  EXPECT_EQ(platform.recv(Handle(server), buf, sizeof buf), 9);
  EXPECT_EQ(std::string(buf, 9), "to server");
}

// A peer may connect and reset before the server gets round to accepting it. That must never
// be the fatal failure that ends the server; the next client is taken as usual.
TEST(PlatformAccept, ConnectionResetBeforeAcceptIsNoFailure) {
  LinuxPlatform platform;
  const OwnedFd listener = PlatformListener(platform);
  ASSERT_TRUE(listener.Valid());
  const std::uint16_t port = LocalPort(listener.Get());
  OwnedFd doomed = ConnectTcp(port);
  ASSERT_TRUE(doomed.Valid());
  ASSERT_TRUE(WaitFor(listener.Get(), POLLIN));
  CloseWithReset(doomed);
  // Loopback delivers the reset almost at once; a moment more makes sure it has landed.
  std::this_thread::sleep_for(milliseconds(20));

  const SocketHandle first = platform.accept(Handle(listener));
  ASSERT_NE(first, kInvalidSocket) << "error " << platform.WSAGetLastError();
  OwnedFd taken = Own(first);
  if (first != kNoClientAccepted) {
    EXPECT_TRUE(IsOpen(taken.Get()));
  }

  const OwnedFd next = ConnectTcp(port);
  ASSERT_TRUE(next.Valid());
  ASSERT_TRUE(WaitFor(listener.Get(), POLLIN));
  const OwnedFd second = Own(platform.accept(Handle(listener)));
  ASSERT_TRUE(second.Valid());
  ASSERT_EQ(::send(next.Get(), "n", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(WaitFor(second.Get(), POLLIN));
  char c = 0;
  EXPECT_EQ(platform.recv(Handle(second), &c, 1), 1);
}

// The fatal kind of accept failure stays fatal: it is reported, with its reason.
TEST(PlatformAccept, AcceptOnASocketThatIsNotListeningFails) {
  LinuxPlatform platform;
  const OwnedFd notListening = Own(platform.socket(SockType::Stream));
  ASSERT_TRUE(notListening.Valid());
  EXPECT_EQ(platform.accept(Handle(notListening)), kInvalidSocket);
  EXPECT_EQ(platform.WSAGetLastError(), 10022);  // invalid argument
}

TEST(PlatformClosesocket, DescriptorIsGoneAndThePeerSeesTheEnd) {
  LinuxPlatform platform;
  TcpPair pair = ConnectedPair();
  ASSERT_TRUE(pair.server.Valid());
  const int fd = pair.server.Release();
  ASSERT_EQ(platform.closesocket(static_cast<SocketHandle>(fd)), 0);
  EXPECT_FALSE(IsOpen(fd));
  ASSERT_TRUE(WaitFor(pair.client.Get(), POLLIN));
  char c = 0;
  EXPECT_EQ(::recv(pair.client.Get(), &c, 1, MSG_DONTWAIT), 0);

  EXPECT_EQ(platform.closesocket(static_cast<SocketHandle>(fd)), kSocketError);
  EXPECT_EQ(platform.WSAGetLastError(), kBadDescriptor);
}

// ---------------------------------------------------------------------------------------------
// send to a peer that has gone

// Writing to a reset connection raises SIGPIPE unless the call says otherwise, and that signal
// ends a process by default. The sends run in a child with SIGPIPE at its default action, so
// that a fault kills the child and not the test runner.
TEST(PlatformSend, SendToAResetPeerFailsWithoutSigpipe) {
  const int status = RunInChild([] {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    if (::sigaction(SIGPIPE, &dfl, nullptr) != 0) return 10;
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    if (::sigprocmask(SIG_UNBLOCK, &pipeOnly, nullptr) != 0) return 11;

    LinuxPlatform platform;
    TcpPair pair = ConnectedPair();
    if (!pair.server.Valid()) return 12;
    CloseWithReset(pair.client);
    if (!WaitFor(pair.server.Get(), POLLERR)) return 13;
    // The first send reports the reset, the ones after it a broken pipe: all must fail and
    // none may raise the signal.
    const char block[64] = {};
    for (int i = 0; i < 4; ++i) {
      if (platform.send(Handle(pair.server), block, sizeof block) != kSocketError) return 20 + i;
    }
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << Describe(status);
}

}  // namespace
}  // namespace orvane::platform_test
