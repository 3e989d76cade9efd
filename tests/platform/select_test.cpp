// select() on real loopback sockets: which sockets the kernel counts as ready, in what order
// they come back, how long a wait with nothing ready lasts, and that neither signals nor high
// descriptor numbers disturb it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux_platform.h"
#include "tests/platform/loopback.h"

namespace orvane::platform_test {
namespace {

using std::chrono::microseconds;

std::vector<SocketHandle> Entries(const ReadinessSet& set) {
  return {set.sockets.begin(), set.sockets.begin() + set.count};
}

ReadinessSet SetOf(const std::vector<SocketHandle>& sockets) {
  ReadinessSet set;
  for (SocketHandle s : sockets) set.Add(s);
  return set;
}

// Sends one datagram from a fresh socket to the socket fd is bound to, and waits until fd
// has it.
bool DeliverDatagram(int fd) {
  const OwnedFd sender = BoundUdp();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(kLoopback);
  to.sin_port = htons(LocalPort(fd));
  if (::sendto(sender.Get(), "d", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 1) {
    return false;
  }
  return WaitFor(fd, POLLIN);
}

// Fills the socket's send buffer until the kernel stops calling it writable: the peer never
// reads, so the buffer stays full.
bool FillSendBuffer(int fd) {
  const int small = 4096;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small) != 0) return false;
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) return false;
  const std::string chunk(65536, 'c');
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 10000; ++i) {
      if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return false;
      }
    }
    // Acknowledgements still on their way may free some room; it is full once it stays so.
    if (!WaitFor(fd, POLLOUT, milliseconds(50))) return true;
  }
  return false;
}

// One socket brought into a known state, and whatever must stay open to keep it there.
struct Subject {
  OwnedFd fd;
  std::vector<OwnedFd> keep;
};

struct StateCase {
  const char* name;
  bool readable;
  bool writable;
  std::function<bool(Subject&)> make;
};

const StateCase kStateCases[] = {
    {"idle connection", false, true,
     [](Subject& s) {
       TcpPair pair = ConnectedPair();
       s.fd = std::move(pair.server);
       s.keep.push_back(std::move(pair.client));
       return s.fd.Valid();
     }},
    {"connection with data waiting", true, true,
     [](Subject& s) {
       TcpPair pair = ConnectedPair();
       s.fd = std::move(pair.server);
       s.keep.push_back(std::move(pair.client));
       return s.fd.Valid() && ::send(s.keep[0].Get(), "x", 1, MSG_NOSIGNAL) == 1 &&
              WaitFor(s.fd.Get(), POLLIN);
     }},
    {"connection whose peer closed", true, true,
     [](Subject& s) {
       TcpPair pair = ConnectedPair();
       s.fd = std::move(pair.server);
       pair.client.Reset();
       return s.fd.Valid() && WaitFor(s.fd.Get(), POLLIN);
     }},
    {"connection whose peer reset", true, true,
     [](Subject& s) {
       TcpPair pair = ConnectedPair();
       s.fd = std::move(pair.server);
       CloseWithReset(pair.client);
       return s.fd.Valid() && WaitFor(s.fd.Get(), POLLERR);
     }},
    // The only pending state that the kernel reports as an error alone, with no data and no
    // end of stream beside it: select counts that as readable too.
    {"datagram socket with a refusal pending", true, true,
     [](Subject& s) {
       std::uint16_t closedPort = 0;
       {
         const OwnedFd gone = BoundUdp();
         closedPort = LocalPort(gone.Get());
       }
       s.fd = BoundUdp();
       sockaddr_in to{};
       to.sin_family = AF_INET;
       to.sin_addr.s_addr = htonl(kLoopback);
       to.sin_port = htons(closedPort);
       return s.fd.Valid() &&
              ::connect(s.fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
              ::send(s.fd.Get(), "x", 1, 0) == 1 && WaitFor(s.fd.Get(), POLLERR);
     }},
    {"listener with a pending connection", true, false,
     [](Subject& s) {
       s.fd = RawListener();
       s.keep.push_back(ConnectTcp(LocalPort(s.fd.Get())));
       return s.keep[0].Valid() && WaitFor(s.fd.Get(), POLLIN);
     }},
    {"idle listener", false, false,
     [](Subject& s) {
       s.fd = RawListener();
       return s.fd.Valid();
     }},
    {"datagram socket with a datagram waiting", true, true,
     [](Subject& s) {
       s.fd = BoundUdp();
       return s.fd.Valid() && DeliverDatagram(s.fd.Get());
     }},
    {"idle datagram socket", false, true,
     [](Subject& s) {
       s.fd = BoundUdp();
       return s.fd.Valid();
     }},
    {"connection with a full send buffer", false, false,
     [](Subject& s) {
       TcpPair pair = ConnectedPair();
       s.fd = std::move(pair.client);
       s.keep.push_back(std::move(pair.server));
       return s.fd.Valid() && s.keep[0].Valid() && FillSendBuffer(s.fd.Get());
     }},
};

// Every state above at once, each socket in all three sets, the read and write sets in the
// reverse of the except set's order: each set must come back holding exactly its ready
// sockets in the order they went in.
TEST(PlatformSelect, EachSetKeepsExactlyItsReadySocketsInOrder) {
  constexpr std::size_t kCases = std::size(kStateCases);
  std::vector<Subject> subjects(kCases);
  std::map<SocketHandle, std::string> names;
  for (std::size_t i = 0; i < kCases; ++i) {
    ASSERT_TRUE(kStateCases[i].make(subjects[i])) << "could not make: " << kStateCases[i].name;
    names[Handle(subjects[i].fd)] = kStateCases[i].name;
  }
  std::vector<SocketHandle> inOrder;
  for (const Subject& s : subjects) inOrder.push_back(Handle(s.fd));
  std::vector<SocketHandle> reversed(inOrder.rbegin(), inOrder.rend());
  std::vector<SocketHandle> wantRead;
  std::vector<SocketHandle> wantWrite;
  for (std::size_t i = kCases; i-- > 0;) {
    if (kStateCases[i].readable) wantRead.push_back(inOrder[i]);
    if (kStateCases[i].writable) wantWrite.push_back(inOrder[i]);
  }

  LinuxPlatform platform;
  ReadinessSet read = SetOf(reversed);
  ReadinessSet write = SetOf(reversed);
  ReadinessSet except = SetOf(inOrder);
  const int ready = platform.select(0, read, write, except, 200000);

  auto named = [&](const std::vector<SocketHandle>& sockets) {
    std::string text;
    for (SocketHandle s : sockets) text.append("\n  ").append(names[s]);
    return text;
  };
  EXPECT_EQ(Entries(read), wantRead) << "readable:" << named(Entries(read));
  EXPECT_EQ(Entries(write), wantWrite) << "writable:" << named(Entries(write));
  EXPECT_EQ(except.count, 0u) << "exceptional:" << named(Entries(except));
  EXPECT_EQ(ready, static_cast<int>(wantRead.size() + wantWrite.size()));
}

// Sets at their capacity, in an order unrelated to the descriptor numbers, with 160 distinct
// sockets polled: half the read set shared with the write set, and sockets with data that
// are only in the except set, which must not leak into another set.
TEST(PlatformSelect, FullSetsKeepTheirOrder) {
  constexpr std::uint32_t kCap = kReadinessSetCapacity;
  std::vector<OwnedFd> datagram(kCap);
  std::vector<OwnedFd> listeners(kCap / 2);
  std::vector<OwnedFd> exceptOnly(kCap);
  std::vector<bool> hasData(kCap);
  for (std::uint32_t i = 0; i < kCap; ++i) {
    datagram[i] = BoundUdp();
    exceptOnly[i] = BoundUdp();
    ASSERT_TRUE(datagram[i].Valid() && exceptOnly[i].Valid());
    hasData[i] = i % 3 == 0;
    if (hasData[i]) {
      ASSERT_TRUE(DeliverDatagram(datagram[i].Get()));
    }
    if (i % 2 == 1) {
      ASSERT_TRUE(DeliverDatagram(exceptOnly[i].Get()));
    }
  }
  for (OwnedFd& l : listeners) ASSERT_TRUE((l = RawListener()).Valid());

  std::mt19937 shuffle(20240607);
  std::vector<std::uint32_t> readOrder(kCap);
  for (std::uint32_t i = 0; i < kCap; ++i) readOrder[i] = i;
  std::shuffle(readOrder.begin(), readOrder.end(), shuffle);
  // Write entries: datagram sockets (always writable) and listeners (never), interleaved.
  struct WriteEntry {
    SocketHandle s;
    bool writable;
  };
  std::vector<WriteEntry> writeEntries;
  for (std::uint32_t i = 0; i < kCap / 2; ++i) {
    writeEntries.push_back({Handle(datagram[i]), true});
    writeEntries.push_back({Handle(listeners[i]), false});
  }
  std::shuffle(writeEntries.begin(), writeEntries.end(), shuffle);

  ReadinessSet read;
  ReadinessSet write;
  ReadinessSet except;
  std::vector<SocketHandle> wantRead;
  std::vector<SocketHandle> wantWrite;
  for (std::uint32_t i : readOrder) {
    read.Add(Handle(datagram[i]));
    if (hasData[i]) wantRead.push_back(Handle(datagram[i]));
  }
  for (const WriteEntry& e : writeEntries) {
    write.Add(e.s);
    if (e.writable) wantWrite.push_back(e.s);
  }
  for (const OwnedFd& fd : exceptOnly) except.Add(Handle(fd));
  ASSERT_EQ(read.count, kCap);
  ASSERT_EQ(write.count, kCap);
  ASSERT_EQ(except.count, kCap);

  LinuxPlatform platform;
  const int ready = platform.select(0, read, write, except, 200000);
  EXPECT_EQ(Entries(read), wantRead);
  EXPECT_EQ(Entries(write), wantWrite);
  EXPECT_EQ(except.count, 0u);
  EXPECT_EQ(ready, static_cast<int>(wantRead.size() + wantWrite.size()));
}

// The server takes urgent data inline on every client; the kernel still flags such a socket
// as exceptional, and a client must not be dropped for that.
TEST(PlatformSelect, UrgentDataInlineIsReadableAndNeverExceptional) {
  // A bare listener, so that only the platform's own option call puts the data inline.
  TcpPair pair = ConnectedPair();
  ASSERT_TRUE(pair.server.Valid());
  LinuxPlatform platform;
  const SocketHandle client = Handle(pair.server);
  ASSERT_EQ(platform.setsockopt(client, SockOption::OobInline, 1), 0);
  ASSERT_EQ(::send(pair.client.Get(), "ab", 2, MSG_NOSIGNAL), 2);
  ASSERT_EQ(::send(pair.client.Get(), "U", 1, MSG_OOB | MSG_NOSIGNAL), 1);
  ASSERT_TRUE(WaitFor(pair.server.Get(), POLLPRI)) << "the kernel never flagged urgent data";

  ReadinessSet read = SetOf({client});
  ReadinessSet write = SetOf({client});
  ReadinessSet except = SetOf({client});
  EXPECT_EQ(platform.select(0, read, write, except, 200000), 2);
  EXPECT_EQ(Entries(read), std::vector<SocketHandle>{client});
  EXPECT_EQ(Entries(write), std::vector<SocketHandle>{client});
  EXPECT_EQ(except.count, 0u);

  // Inline means the urgent byte arrives in the ordinary stream, after what came before it.
  std::string got;
  char buf[16];
  for (int i = 0; i < 3 && got.size() < 3 && WaitFor(pair.server.Get(), POLLIN); ++i) {
    const int n = platform.recv(client, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "abU");
}

// With nothing ready, select returns 0 after about the timeout: never at once for a nonzero
// timeout (which would spin the server's loop), never far past it.
TEST(PlatformSelect, NothingReadyWaitsForTheTimeout) {
  const OwnedFd idle = BoundUdp();
  const TcpPair pair = ConnectedPair();
  ASSERT_TRUE(idle.Valid() && pair.server.Valid());
  LinuxPlatform platform;
  for (long timeout : {0L, 1000L, 30000L}) {
    SCOPED_TRACE(timeout);
    ReadinessSet read = SetOf({Handle(idle), Handle(pair.server)});
    ReadinessSet write;
    ReadinessSet except = SetOf({Handle(idle), Handle(pair.server)});
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(platform.select(0, read, write, except, timeout), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(except.count, 0u);
    EXPECT_GE(took, microseconds(timeout * 9 / 10));
    EXPECT_LT(took, milliseconds(1000));
  }
}

TEST(PlatformSelect, WaitEndsWhenASocketBecomesReady) {
  const OwnedFd idle = BoundUdp();
  const OwnedFd target = BoundUdp();
  ASSERT_TRUE(idle.Valid() && target.Valid());
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(20));
    (void)DeliverDatagram(target.Get());
  });
  LinuxPlatform platform;
  ReadinessSet read = SetOf({Handle(idle), Handle(target)});
  ReadinessSet write;
  ReadinessSet except;
  const long timeout = 5000000;  // several seconds: the whole-seconds part of the timeout
  const Clock::time_point start = Clock::now();
  const int ready = platform.select(0, read, write, except, timeout);
  const auto took = Clock::now() - start;
  late.join();
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(Entries(read), std::vector<SocketHandle>{Handle(target)});
  EXPECT_LT(took, microseconds(timeout / 2));
}

std::atomic<int> g_signalsCaught{0};
void CountSignal(int) {
  g_signalsCaught.fetch_add(1, std::memory_order_relaxed);
}

// A handler without SA_RESTART interrupts the wait; select must neither fail nor start its
// whole wait again each time, or signals arriving faster than the timeout stall it for good.
TEST(PlatformSelect, SignalsDuringTheWaitChangeNothing) {
  struct sigaction count {};
  count.sa_handler = CountSignal;
  sigemptyset(&count.sa_mask);
  count.sa_flags = 0;
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &count, &previous), 0);

  const OwnedFd idle = BoundUdp();
  ASSERT_TRUE(idle.Valid());
  LinuxPlatform platform;
  const pthread_t waiter = ::pthread_self();
  std::atomic<bool> waitOver{false};
  // A signal every millisecond for at most about two seconds.
  std::thread signaller([&] {
    for (int i = 0; i < 2000 && !waitOver.load(); ++i) {
      (void)::pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });

  ReadinessSet read = SetOf({Handle(idle)});
  ReadinessSet write;
  ReadinessSet except;
  const int caughtBefore = g_signalsCaught.load();
  const Clock::time_point start = Clock::now();
  const int ready = platform.select(0, read, write, except, 50000);
  const auto took = Clock::now() - start;
  const int caught = g_signalsCaught.load() - caughtBefore;
  const int error = ready == kSocketError ? platform.WSAGetLastError() : 0;
  waitOver = true;
  signaller.join();
  (void)::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(ready, 0) << "error " << error;
  EXPECT_GT(caught, 0) << "no signal arrived during the wait; the test proved nothing";
  EXPECT_GE(took, milliseconds(45));
  EXPECT_LT(took, milliseconds(1000)) << caught << " signals during a 50 ms wait";
}

// Descriptors of 1024 and up are beyond what the system's select bitmap can hold; the
// server can have them when it runs with many descriptors open.
TEST(PlatformSelect, HighDescriptorNumbersWork) {
  // Two numbers 256 apart, so that they share a bucket of any table keyed by descriptor
  // modulo a power of two up to 256.
  constexpr int kLow = 1024;
  constexpr int kHigh = kLow + 256;
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  const rlim_t needed = kHigh + 1;
  if (original.rlim_cur < needed) {
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max < needed) {
      GTEST_SKIP() << "descriptor limit " << original.rlim_max << " is below " << needed;
    }
    rlimit raised = original;
    raised.rlim_cur = needed;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) GTEST_SKIP() << "cannot raise the limit";
  }
  struct RestoreLimit {
    rlimit limit;
    ~RestoreLimit() { (void)::setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{original};
  if (IsOpen(kLow) || IsOpen(kHigh))
    GTEST_SKIP() << "descriptors " << kLow << "/" << kHigh << " are already in use";

  OwnedFd idle;
  OwnedFd busy;
  {
    const OwnedFd a = BoundUdp();
    const OwnedFd b = BoundUdp();
    ASSERT_TRUE(a.Valid() && b.Valid());
    idle = OwnedFd(::dup3(a.Get(), kLow, O_CLOEXEC));
    busy = OwnedFd(::dup3(b.Get(), kHigh, O_CLOEXEC));
  }
  ASSERT_EQ(idle.Get(), kLow);
  ASSERT_EQ(busy.Get(), kHigh);
  ASSERT_TRUE(DeliverDatagram(busy.Get()));
  const OwnedFd lowNumbered = BoundUdp();
  ASSERT_TRUE(lowNumbered.Valid());
  ASSERT_TRUE(DeliverDatagram(lowNumbered.Get()));

  LinuxPlatform platform;
  ReadinessSet read = SetOf({Handle(idle), Handle(busy), Handle(lowNumbered)});
  ReadinessSet write = SetOf({Handle(busy)});
  ReadinessSet except = SetOf({Handle(idle)});
  EXPECT_EQ(platform.select(kHigh + 1, read, write, except, 200000), 3);
  EXPECT_EQ(Entries(read), (std::vector<SocketHandle>{Handle(busy), Handle(lowNumbered)}));
  EXPECT_EQ(Entries(write), std::vector<SocketHandle>{Handle(busy)});
  EXPECT_EQ(except.count, 0u);

  char buf[8];
  PeerAddress from;
  EXPECT_EQ(platform.recvfrom(Handle(busy), buf, sizeof buf, from), 1);
  EXPECT_EQ(from.address, kLoopback);
}

}  // namespace
}  // namespace orvane::platform_test
