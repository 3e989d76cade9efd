// The echo and chargen modes: TCP streams read (and, for echo, written) on many connections
// at once by one thread, each stream checked as it comes.

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

// Each read takes up to this much, so that a fast stream costs few system calls.
constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::uint64_t kConnectTimeout = 5 * kSecond;
// A chargen reader is opened only once the one before has been sent its first bytes (or this
// long has passed), so that the connects never outrun a server that accepts one at a time
// from a short listen queue; an overrun queue costs a second-long retransmission.
constexpr std::uint64_t kFirstBytesTimeout = 3 * kSecond;
// The echo streams of different connections start at different places of the pattern.
constexpr std::uint64_t kStreamSpacing = 104'729;

struct Stream {
  int fd = -1;
  std::uint64_t sent = 0;   // echo: bytes written; chargen: no limit
  std::uint64_t phase = 0;  // echo: where in the pattern the stream starts
  StreamVerifier check;
  bool checked = true;  // chargen without a check only counts
};

// Why a stream stopped being read.
enum class StreamEnd { kOpen, kDamaged, kFailed };

// What the echo and chargen loops share: the connections, the clock of the run, its progress
// line and the figures of it.
class StreamSession {
 public:
  StreamSession(const RunContext& run, std::uint64_t& bytes, std::uint64_t& damaged,
                std::optional<std::uint64_t>& firstDamage, std::uint64_t& failed)
      : run_(run),
        bytes_(bytes),
        damaged_(damaged),
        firstDamage_(firstDamage),
        failed_(failed),
        buffer_(kReadSize),
        progress_(run.err, 0) {}

  // Opens the connections one after another, each with the verifier `makeCheck` gives it;
  // with waitForData, each only once the one before has had its first bytes. A server that
  // lets one connect or first read time out would let the others time out as well: the
  // connections not yet made then count as failed, and no more first bytes are waited for.
  template <typename MakeCheck>
  void Open(bool waitForData, MakeCheck makeCheck) {
    for (std::uint32_t i = 0; i < run_.options.connections && stopRequests == 0; ++i) {
      const int fd = ConnectWithin(run_.endpoint, kConnectTimeout);
      if (fd < 0) {
        run_.errors.Note("connect", errno);
        if (errno == ETIMEDOUT) {
          failed_ += run_.options.connections - i;
          break;
        }
        ++failed_;
        continue;
      }
      if (waitForData) waitForData = WaitReadable(fd, kFirstBytesTimeout);
      streams_.push_back(makeCheck(fd, streams_.size()));
    }
    polls_.resize(streams_.size());
    open_ = streams_.size();
    start_ = now_ = NowNs();
    end_ = start_ + static_cast<std::uint64_t>(run_.options.seconds * 1e9);
    progress_ = Progress(run_.err, start_);
  }

  std::vector<Stream>& streams() { return streams_; }
  pollfd& Poll(std::size_t i) { return polls_[i]; }

  // Shows the progress line when it is due, then waits for the streams; false once the run is
  // over.
  bool Wait() {
    if (open_ == 0 || stopRequests > 0 || (now_ = NowNs()) >= end_) return false;
    if (progress_.Due(now_)) {
      const double rate =
          static_cast<double>(bytes_ - bytesShown_) / 1e6 / progress_.SinceLast(now_);
      bytesShown_ = bytes_;
      progress_.Show(now_,
                     StreamProgress(progress_.Elapsed(now_), rate, bytes_, damaged_, failed_));
    }
    return PollUntil(polls_.data(), polls_.size(), std::min(end_, progress_.NextDue())) >= 0;
  }

  // Reads what stream i has and checks it; an echo must not return more than was sent.
  // A stream that differs or ended is closed and counted.
  StreamEnd Read(std::size_t i) {
    Stream& s = streams_[i];
    const ssize_t n = recv(s.fd, buffer_.data(), buffer_.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return StreamEnd::kOpen;
    if (n <= 0) {
      run_.errors.Note("recv", n == 0 ? kClosedByPeer : errno);
      ++failed_;
      Close(i);
      return StreamEnd::kFailed;
    }
    auto length = static_cast<std::uint64_t>(n);
    if (s.checked) {
      const std::uint64_t allowed = s.sent - s.check.received();
      (void)s.check.Feed(buffer_.data(), std::min(length, allowed));
      if (length > allowed) s.check.MarkDamagedAt(s.sent);
      if (!s.check.intact()) {
        if (damaged_++ == 0) firstDamage_ = s.check.firstDamage();
        Close(i);
        return StreamEnd::kDamaged;
      }
    }
    bytes_ += length;
    return StreamEnd::kOpen;
  }

  void Close(std::size_t i) {
    (void)close(streams_[i].fd);
    streams_[i].fd = -1;
    polls_[i].fd = -1;
    --open_;
  }

  // Ends the run: closes what is still open and returns the seconds it lasted.
  double Finish() {
    now_ = NowNs();
    progress_.Finish();
    for (Stream& s : streams_) {
      if (s.fd >= 0) (void)close(s.fd);
    }
    return static_cast<double>(std::min(now_, end_) - start_) / 1e9;
  }

 private:
  const RunContext& run_;
  std::uint64_t& bytes_;
  std::uint64_t& damaged_;
  std::optional<std::uint64_t>& firstDamage_;
  std::uint64_t& failed_;
  std::vector<Stream> streams_;
  std::vector<pollfd> polls_;
  std::vector<std::uint8_t> buffer_;
  Progress progress_;
  std::uint64_t bytesShown_ = 0;
  std::size_t open_ = 0;
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t now_ = 0;
};

}  // namespace

EchoResult RunEcho(const RunContext& run) {
  const ProbeOptions& o = run.options;
  EchoResult result;
  result.target = run.endpoint.target;
  result.connections = o.connections;

  const RepeatingPattern pattern = EchoPattern();
  StreamSession session(run, result.bytesVerified, result.mismatches, result.firstMismatch,
                        result.failed);
  session.Open(false, [&](int fd, std::size_t i) {
    const std::uint64_t phase = i * kStreamSpacing;
    return Stream{fd, 0, phase, StreamVerifier(pattern, phase)};
  });
  std::vector<Stream>& streams = session.streams();
  for (;;) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
      const Stream& s = streams[i];
      const bool room = s.sent - s.check.received() < o.inflight;
      session.Poll(i).events = static_cast<short>(POLLIN | (room ? POLLOUT : 0));
      session.Poll(i).fd = s.fd;
    }
    if (!session.Wait()) break;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      Stream& s = streams[i];
      const short events = session.Poll(i).revents;
      if (s.fd < 0 || events == 0) continue;
      if ((events & (POLLIN | POLLERR | POLLHUP)) != 0 && session.Read(i) != StreamEnd::kOpen) {
        continue;
      }
      if ((events & POLLOUT) == 0) continue;
      // Write as long as the socket takes it and the connection may run ahead.
      for (;;) {
        const std::uint64_t ahead = s.sent - s.check.received();
        if (ahead >= o.inflight) break;
        const std::uint64_t offset = s.phase + s.sent;
        const std::size_t want =
            std::min<std::uint64_t>({o.size, o.inflight - ahead, pattern.ReadableAt(offset)});
        const ssize_t n = send(s.fd, pattern.At(offset), want, MSG_NOSIGNAL);
        if (n < 0) {
          if (errno != EAGAIN && errno != EINTR) {
            run.errors.Note("send", errno);
            ++result.failed;
            session.Close(i);
          }
          break;
        }
        s.sent += static_cast<std::uint64_t>(n);
        result.bytesSent += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < want) break;  // the socket is full
      }
    }
  }
  result.seconds = session.Finish();
  return result;
}

ChargenResult RunChargen(const RunContext& run) {
  const ProbeOptions& o = run.options;
  ChargenResult result;
  result.target = run.endpoint.target;
  result.connections = o.connections;
  result.check = o.check;

  const RepeatingPattern block = ChargenBlockPattern();
  StreamSession session(run, result.bytes, result.corrupted, result.firstCorrupt, result.failed);
  session.Open(true, [&](int fd, std::size_t) {
    return Stream{
        fd, UINT64_MAX, 0,
        o.check == ChargenCheck::kLines ? StreamVerifier::JoiningLines() : StreamVerifier(block, 0),
        o.check != ChargenCheck::kNone};
  });
  for (std::size_t i = 0; i < session.streams().size(); ++i) {
    session.Poll(i) = pollfd{session.streams()[i].fd, POLLIN, 0};
  }
  while (session.Wait()) {
    for (std::size_t i = 0; i < session.streams().size(); ++i) {
      if (session.streams()[i].fd >= 0 && session.Poll(i).revents != 0) (void)session.Read(i);
    }
  }
  result.seconds = session.Finish();
  return result;
}

}  // namespace orvane::probe
