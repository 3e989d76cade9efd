// The connect mode: connections made, used for one short echo and closed, over and over, a
// few at a time, to count how many a server takes per second.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "probe/runs.h"
#include "probe/stream_check.h"

namespace orvane::probe {

namespace {

// A cycle that has not finished in this time counts as failed.
constexpr std::uint64_t kCycleTimeout = 2 * kSecond;
// After a failed cycle its place waits this long, so that a server that refuses is not
// hammered at full speed.
constexpr std::uint64_t kRetryPause = 10 * kSecond / 1000;
constexpr std::size_t kReadSize = 64 * 1024;

struct Cycle {
  enum class State { kIdle, kConnecting, kSending, kReceiving };
  State state = State::kIdle;
  int fd = -1;
  std::uint64_t deadline = 0;  // while busy: when it counts as failed; idle: when it may start
  std::uint64_t sent = 0;
  StreamVerifier check;
};

class ConnectLoop {
 public:
  ConnectLoop(const RunContext& run, ConnectResult& result)
      : run_(run), result_(result), size_(run.options.size), buffer_(kReadSize) {
    cycles_.assign(run.options.connections,
                   Cycle{Cycle::State::kIdle, -1, 0, 0, StreamVerifier(pattern_, 0)});
  }

  void Run(std::uint64_t start, std::uint64_t end) {
    Progress progress(run_.err, start);
    std::uint64_t completedBefore = 0;
    std::vector<pollfd> polls(cycles_.size());
    std::uint64_t now = start;
    while (stopRequests == 0 && (now = NowNs()) < end) {
      std::uint64_t wake = std::min(end, progress.NextDue());
      for (std::size_t i = 0; i < cycles_.size(); ++i) {
        Cycle& c = cycles_[i];
        if (c.state == Cycle::State::kIdle && now >= c.deadline) Begin(c, now);
        if (c.state != Cycle::State::kIdle && now >= c.deadline) {
          Fail(c, c.state == Cycle::State::kConnecting ? "connect" : "recv", ETIMEDOUT, now);
        }
        const short events = c.state == Cycle::State::kReceiving ? POLLIN : POLLOUT;
        polls[i] = pollfd{c.fd, events, 0};
        wake = std::min(wake, c.deadline);
      }
      if (progress.Due(now)) {
        const double rate =
            static_cast<double>(result_.completed - completedBefore) / progress.SinceLast(now);
        completedBefore = result_.completed;
        progress.Show(
            now, ConnectProgress(progress.Elapsed(now), rate, result_.completed, result_.failed));
      }
      if (PollUntil(polls.data(), polls.size(), wake) <= 0) continue;
      now = NowNs();
      for (std::size_t i = 0; i < cycles_.size(); ++i) {
        if (polls[i].fd >= 0 && polls[i].revents != 0) Advance(cycles_[i], polls[i].revents, now);
      }
    }
    progress.Finish();
    for (Cycle& c : cycles_) {
      if (c.fd >= 0) (void)close(c.fd);
    }
  }

 private:
  void Begin(Cycle& c, std::uint64_t now) {
    bool connected = false;
    c.fd = StartConnect(run_.endpoint, connected);
    if (c.fd < 0) {
      Fail(c, "connect", errno, now);
      return;
    }
    c.deadline = now + kCycleTimeout;
    c.sent = 0;
    c.check = StreamVerifier(pattern_, 0);
    if (connected || size_ > 0) {
      // On a near path the connection is often up by the time connect() says "in progress":
      // sending at once saves a wait. If it is not up yet, the send says so, and the wait
      // for it follows; if it failed, that is the connect's failure.
      c.state = Cycle::State::kSending;
      Send(c, now, connected ? "send" : "connect");
      if (c.state == Cycle::State::kSending && c.sent == 0 && !connected) {
        c.state = Cycle::State::kConnecting;
      }
    } else {
      c.state = Cycle::State::kConnecting;
    }
  }

  void Advance(Cycle& c, short events, std::uint64_t now) {
    if (c.state == Cycle::State::kConnecting) {
      // Plain writability means the connection is up; anything else, ask what went wrong.
      const int err = events == POLLOUT ? 0 : ConnectError(c.fd);
      if (err != 0) {
        Fail(c, "connect", err, now);
        return;
      }
      c.state = Cycle::State::kSending;
    }
    if (c.state == Cycle::State::kSending) {
      Send(c, now, "send");
    } else if (c.state == Cycle::State::kReceiving) {
      Receive(c, now);
    }
  }

  // Sends what is left to send; a failure is put down to `call`.
  void Send(Cycle& c, std::uint64_t now, const char* call) {
    if (c.sent < size_) {
      const ssize_t n = send(c.fd, pattern_.At(c.sent), size_ - c.sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) Fail(c, call, errno, now);
        return;
      }
      c.sent += static_cast<std::uint64_t>(n);
      if (c.sent < size_) return;
    }
    c.state = Cycle::State::kReceiving;
    if (size_ == 0) Complete(c);
  }

  void Receive(Cycle& c, std::uint64_t now) {
    const std::size_t want = std::min<std::uint64_t>(size_ - c.check.received(), kReadSize);
    const ssize_t n = recv(c.fd, buffer_.data(), want, 0);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      Fail(c, "recv", n == 0 ? kClosedByPeer : errno, now);
      return;
    }
    if (!c.check.Feed(buffer_.data(), static_cast<std::size_t>(n))) {
      ++result_.mismatches;
      Close(c, now);
      return;
    }
    if (c.check.received() == size_) Complete(c);
  }

  void Complete(Cycle& c) {
    ++result_.completed;
    Close(c, 0);
  }

  void Fail(Cycle& c, const char* call, int err, std::uint64_t now) {
    run_.errors.Note(call, err);
    ++result_.failed;
    Close(c, now + kRetryPause);
  }

  // Ends the cycle; the next one may begin at `next`.
  static void Close(Cycle& c, std::uint64_t next) {
    if (c.fd >= 0) (void)close(c.fd);
    c.fd = -1;
    c.state = Cycle::State::kIdle;
    c.deadline = next;
  }

  const RunContext& run_;
  ConnectResult& result_;
  std::uint64_t size_;
  const RepeatingPattern pattern_ = EchoPattern();
  std::vector<std::uint8_t> buffer_;
  std::vector<Cycle> cycles_;
};

}  // namespace

ConnectResult RunConnect(const RunContext& run) {
  ConnectResult result;
  result.target = run.endpoint.target;
  result.size = run.options.size;
  result.parallel = run.options.connections;
  ConnectLoop loop(run, result);
  const std::uint64_t start = NowNs();
  const std::uint64_t end = start + static_cast<std::uint64_t>(run.options.seconds * 1e9);
  loop.Run(start, end);
  result.seconds = static_cast<double>(std::min(NowNs(), end) - start) / 1e9;
  return result;
}

}  // namespace orvane::probe
