#pragma once

// The probe's own contact with Linux: name resolution, the clock, sockets, the progress line
// and the errors met on the way. The pure logic in the other probe files includes none of this.

#include <poll.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "probe/options.h"
#include "probe/report.h"

namespace orvane::probe {

// Nanoseconds on the monotonic clock.
std::uint64_t NowNs();
inline constexpr std::uint64_t kSecond = 1'000'000'000;

// Set by SIGINT and SIGTERM: the run ends early, and its summary is still printed.
extern volatile std::sig_atomic_t stopRequests;
void CatchStopSignals();

struct Endpoint {
  Target target;
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = 0;
};

// The first address the host name gives for the family and socket type asked for; empty, with
// the reason written to err, if it gives none.
std::optional<Endpoint> Resolve(const ProbeOptions& options, int socketType, std::FILE* err);

inline constexpr int kClosedByPeer = -1;

// Failed calls, counted by call and error, for one report at the end of a run.
class ErrorLog {
 public:
  // An errno value, or kClosedByPeer for a stream that ended where it should not have.
  void Note(const char* call, int err);
  // One line per kind: "connect: Socket error ECONNREFUSED: ... (3 times)".
  void Print(std::FILE* out) const;

 private:
  struct Entry {
    const char* call;
    int err;
    std::uint64_t count;
  };
  std::vector<Entry> entries_;
};

// The progress line, once a second on standard error when that is a terminal.
class Progress {
 public:
  Progress(std::FILE* err, std::uint64_t start);
  [[nodiscard]] bool Due(std::uint64_t now) const { return enabled_ && now >= next_; }
  // When the next line is due; far away when lines are off.
  [[nodiscard]] std::uint64_t NextDue() const { return enabled_ ? next_ : UINT64_MAX; }
  // Seconds since the start and since the line before.
  [[nodiscard]] double Elapsed(std::uint64_t now) const;
  [[nodiscard]] double SinceLast(std::uint64_t now) const;
  void Show(std::uint64_t now, const std::string& line);
  // Moves past the last line, if any, so that the summary starts on a line of its own.
  void Finish();

 private:
  std::FILE* err_;
  bool enabled_;
  bool shown_ = false;
  std::uint64_t start_;
  std::uint64_t last_;
  std::uint64_t next_;
};

// A TCP connect to the endpoint, started without waiting: the socket (non-blocking), or -1
// with errno set. `connected` tells whether it is already complete.
int StartConnect(const Endpoint& endpoint, bool& connected);
// The outcome of a connect that poll reported on: 0, or the error number.
int ConnectError(int fd);
// Connects and waits at most `timeout` nanoseconds: the socket, or -1 with errno set.
int ConnectWithin(const Endpoint& endpoint, std::uint64_t timeout);
// Waits until fd is readable or the timeout passes; true if it became readable.
bool WaitReadable(int fd, std::uint64_t timeout);

// poll with a nanosecond deadline on the monotonic clock; 0 on timeout, -1 on a signal.
int PollUntil(pollfd* fds, std::size_t count, std::uint64_t deadline);

}  // namespace orvane::probe
