#pragma once

// What the participants of a soak run share: the buffers of its one thread, the streams that
// what they receive must match, socket calls that never block, and the poll loop.

#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/soak/load.h"
#include "tests/support/unique_fd.h"

namespace orvane::soak {

using testsupport::UniqueFd;

// The most one receive takes, and the most one echo send gives.
inline constexpr std::size_t kReadMost = 256 * 1024;
inline constexpr std::size_t kLargestEchoWrite = 64 * 1024;
// The largest datagram the server answers, and the largest one IPv4 can carry.
inline constexpr std::size_t kLargestAnswered = 1500;
inline constexpr std::size_t kLargestDatagram = 65507;

// One thread: one set of buffers.
extern char g_received[kReadMost];
extern char g_expected[kReadMost];
extern char g_datagram[kLargestDatagram];

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
using Bytes = unsigned long long;  // for printf

// Checks bytes received at `offset` of the chargen stream; counts them and records the first
// difference. False if they differ.
bool CheckChargen(std::uint64_t offset, const char* data, std::size_t n, Tally& tally,
                  const std::string& who);

std::uint64_t Mix(std::uint64_t z);

// The bytes an echo client sends: pseudo-random, every byte value, and a function of the
// client's seed and the offset alone, so that what must come back is made again at any offset
// without keeping what was sent.
class EchoStream {
 public:
  explicit EchoStream(std::uint64_t seed = 0) : seed_(seed) {}

  void Fill(std::uint64_t offset, char* out, std::size_t n) const;
  // Checks bytes received at `offset`; counts them and records the first difference. False
  // if they differ.
  bool Check(std::uint64_t offset, const char* data, std::size_t n, Tally& tally,
             const std::string& who) const;

 private:
  std::uint64_t seed_;
};

// Socket calls that never block and never raise SIGPIPE.
ssize_t ReceiveSome(int fd, char* buf, std::size_t most);
ssize_t SendSome(int fd, const char* buf, std::size_t size, int flags = 0);
bool WouldBlock();
bool SendDatagramTo(int fd, std::uint16_t port, const char* data, std::size_t size);
// One datagram waiting on fd, with the port it came from; false if none is waiting.
bool ReceiveDatagramNow(int fd, std::string& payload, std::uint16_t& fromPort);
// A connection to 127.0.0.1:port started without waiting; invalid if even that failed, with
// errno saying why.
UniqueFd StartConnect(std::uint16_t port);
// Why a receive or send returned n <= 0.
std::string ErrorText(ssize_t n);

// ---------------------------------------------------------------------------------------------
// The poll loop: each pass asks every participant what it waits for, polls, hands each its
// events, and then gives every one a tick.

class Participant;

class Poller {
 public:
  void Clear() {
    polled_.clear();
    owners_.clear();
  }
  void Add(int fd, short events, Participant* owner) {
    polled_.push_back(pollfd{fd, events, 0});
    owners_.push_back(owner);
  }
  std::vector<pollfd>& polled() { return polled_; }
  [[nodiscard]] Participant* owner(std::size_t i) const { return owners_[i]; }

 private:
  std::vector<pollfd> polled_;
  std::vector<Participant*> owners_;
};

class Participant {
 public:
  virtual ~Participant() = default;
  // Adds the descriptors it waits on, with their events.
  virtual void Want(Poller& poller) = 0;
  virtual void Ready(int fd, short revents, TimePoint now) = 0;
  // Called once a pass of the loop, for what depends on time alone.
  virtual void Tick(TimePoint /*now*/) {}
  // The end: no new traffic from now on; then what is still due counts as missing.
  virtual void StopNewTraffic() {}
  virtual void Finish() {}
};

// The events after which a receive tells something: data, the end, or an error.
inline constexpr short kInput = POLLIN | POLLHUP | POLLERR;

}  // namespace orvane::soak
