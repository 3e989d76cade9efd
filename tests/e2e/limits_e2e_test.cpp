// The limits: 64 clients per service, more wait in the listen queue, and readiness sets of 64
// sockets each, filled with the 3 service sockets, then chargen clients, then echo clients.
// Whether a client was taken in shows in the descriptors the server holds; whether it would
// have been served by now shows once the server has gone round its loop many times since.

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/serving_test.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMaxClients = 64;
constexpr int kPasses = 50;

class Limits : public ServingTest {
 protected:
  // Connects chargen clients one after the other, each seen receiving the start of its stream
  // before the next connects, so that they are taken in in this order.
  std::vector<UniqueFd> ServedChargenClients(std::size_t count) {
    std::vector<UniqueFd> clients;
    for (std::size_t i = 0; i < count; ++i) {
      UniqueFd client = ConnectTcp(chargenPort());
      EXPECT_TRUE(client.Valid()) << "client " << i << ": " << std::strerror(errno);
      if (!client.Valid()) break;
      const std::string start = ReceiveExactly(client.Get(), kChargenBlockSize, In(10s));
      EXPECT_EQ(start.size(), kChargenBlockSize) << "client " << i << " is not served";
      EXPECT_EQ(ChargenMismatch(start, 0), "") << "client " << i;
      clients.push_back(std::move(client));
    }
    return clients;
  }

  void ExpectDescriptors(std::size_t count) {
    EXPECT_EQ(WaitForDescriptorCount(server().pid(), count, In(10s)), count);
  }
};

// Bytes waiting to be read on a socket.
std::size_t Queued(int fd) {
  int queued = 0;
  return ioctl(fd, FIONREAD, &queued) == 0 ? static_cast<std::size_t>(queued) : 0;
}

bool NothingWaiting(int fd) {
  return !ReceiveWithin(fd, Clock::now()).has_value();
}

// All 64 chargen clients are served. A 65th connection waits in the listen queue, unserved,
// until one of the 64 leaves; then it is taken in and served.
TEST_F(Limits, SixtyFourChargenClientsAreServedAndTheNextWaitsForAFreeSlot) {
  const std::size_t idle = IdleDescriptors();
  std::vector<UniqueFd> clients = ServedChargenClients(kMaxClients);
  ASSERT_EQ(clients.size(), kMaxClients);
  const UniqueFd next = ConnectTcp(chargenPort());
  ASSERT_TRUE(next.Valid()) << "the listen queue did not take the 65th: " << std::strerror(errno);

  ASSERT_NO_FATAL_FAILURE(GoRoundTheLoop(kPasses));
  EXPECT_TRUE(NothingWaiting(next.Get())) << "the 65th client is served";
  ExpectDescriptors(idle + kMaxClients);
  // Every one of the 64 is still being sent to: past what is queued for it, more comes.
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const std::size_t wanted = Queued(clients[i].Get()) + kChargenBlockSize;
    const std::string more = ReceiveExactly(clients[i].Get(), wanted, In(10s));
    ASSERT_EQ(more.size(), wanted) << "client " << i;
    ASSERT_EQ(ChargenMismatch(more, kChargenBlockSize), "") << "client " << i;
  }

  ResetConnection(clients[10]);
  const std::string start = ReceiveExactly(next.Get(), kChargenBlockSize, In(10s));
  EXPECT_EQ(start.size(), kChargenBlockSize) << "the 65th client is not served";
  EXPECT_EQ(ChargenMismatch(start, 0), "");
  ExpectDescriptors(idle + kMaxClients);
  ExpectStillRunning();
}

// 64 echo clients are all taken in, but the read set holds only 61 clients after the 3
// service sockets: the first 61 are served, the last 3 wait with their data. A 65th waits in
// the listen queue. Once four served clients have gone, 61 clients are left, all fit, and the
// data of every waiting client comes back, none of it lost.
TEST_F(Limits, SixtyFourEchoClientsAreTakenInAndTheNextWaitsForAFreeSlot) {
  constexpr std::size_t kInReadSet = 61;
  const std::size_t idle = IdleDescriptors();
  std::vector<UniqueFd> clients;
  std::vector<std::string> messages;
  for (std::size_t i = 0; i <= kMaxClients; ++i) {
    clients.push_back(ConnectTcp(echoPort()));
    ASSERT_TRUE(clients.back().Valid()) << "client " << i << ": " << std::strerror(errno);
    messages.push_back("echo client " + std::to_string(i));
    ASSERT_TRUE(SendAll(clients.back().Get(), messages.back(), In(5s)));
    if (i < kInReadSet) {
      EXPECT_EQ(ReceiveExactly(clients.back().Get(), messages.back().size(), In(10s)),
                messages.back());
    }
  }

  ASSERT_NO_FATAL_FAILURE(GoRoundTheLoop(kPasses));
  ExpectDescriptors(idle + kMaxClients);
  for (std::size_t i = kInReadSet; i <= kMaxClients; ++i) {
    EXPECT_TRUE(NothingWaiting(clients[i].Get())) << "client " << i << " is served";
  }
  ASSERT_TRUE(SendAll(clients[0].Get(), "again", In(5s)));
  EXPECT_EQ(ReceiveExactly(clients[0].Get(), 5, In(10s)), "again");

  for (std::size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(shutdown(clients[i].Get(), SHUT_WR), 0) << std::strerror(errno);
    EXPECT_EQ(WaitForStreamEnd(clients[i].Get(), In(10s)), StreamEnd::kClosed) << "client " << i;
  }
  for (std::size_t i = kInReadSet; i <= kMaxClients; ++i) {
    EXPECT_EQ(ReceiveExactly(clients[i].Get(), messages[i].size(), In(10s)), messages[i])
        << "client " << i;
  }
  ExpectDescriptors(idle + kInReadSet);
  ExpectStillRunning();
}

// An echo client needs to be in the read set and the write set to be served. With 64 chargen
// clients it is in no set at all; with 62 or 61 the read set is full before it; with 60, the
// 3 service sockets, 60 chargen clients and the echo client fill the read set exactly, and
// the data it sent long before comes back.
TEST_F(Limits, ChargenClientsCrowdEchoClientsOutOfTheReadSet) {
  const std::size_t idle = IdleDescriptors();
  std::vector<UniqueFd> chargen = ServedChargenClients(kMaxClients);
  ASSERT_EQ(chargen.size(), kMaxClients);
  const UniqueFd echo = ConnectTcp(echoPort());
  ASSERT_TRUE(echo.Valid()) << std::strerror(errno);
  const std::string message = "crowded out";
  ASSERT_TRUE(SendAll(echo.Get(), message, In(5s)));

  for (const std::size_t remaining : {std::size_t{64}, std::size_t{62}, std::size_t{61}}) {
    SCOPED_TRACE(std::to_string(remaining) + " chargen clients");
    while (chargen.size() > remaining) {
      ResetConnection(chargen.back());
      chargen.pop_back();
    }
    // The echo client is taken in, and the chargen clients that left are gone.
    ExpectDescriptors(idle + remaining + 1);
    ASSERT_NO_FATAL_FAILURE(GoRoundTheLoop(kPasses));
    EXPECT_TRUE(NothingWaiting(echo.Get())) << "the echo client is served";
  }

  ResetConnection(chargen.back());
  chargen.pop_back();
  EXPECT_EQ(ReceiveExactly(echo.Get(), message.size(), In(10s)), message);
  ASSERT_TRUE(SendAll(echo.Get(), "served again", In(5s)));
  EXPECT_EQ(ReceiveExactly(echo.Get(), 12, In(10s)), "served again");
  ExpectStillRunning();
}

}  // namespace
}  // namespace orvane::e2e
