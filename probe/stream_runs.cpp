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
constexpr std::size_t kReadSize = 64 * 1024;
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
};

// Opens `count` connections one after another; those that fail are counted in `failed`.
std::vector<int> OpenConnections(const RunContext& run, std::uint32_t count, bool waitForData,
                                 std::uint64_t& failed) {
  std::vector<int> fds;
  for (std::uint32_t i = 0; i < count && stopRequests == 0; ++i) {
    const int fd = ConnectWithin(run.endpoint, kConnectTimeout);
    if (fd < 0) {
      run.errors.Note("connect", errno);
      ++failed;
      continue;
    }
    if (waitForData) (void)WaitReadable(fd, kFirstBytesTimeout);
    fds.push_back(fd);
  }
  return fds;
}

// Why a stream stopped being read.
enum class StreamEnd { kOpen, kDamaged, kFailed };

// Reads what one stream has; kFailed when the peer closed or reset it.
StreamEnd ReadStream(Stream& stream, std::uint8_t* buffer, std::uint64_t limit,
                     std::uint64_t& bytes, const char* call, ErrorLog& errors) {
  const ssize_t n = recv(stream.fd, buffer, kReadSize, 0);
  if (n == 0) {
    errors.Note(call, kClosedByPeer);
    return StreamEnd::kFailed;
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return StreamEnd::kOpen;
    errors.Note(call, errno);
    return StreamEnd::kFailed;
  }
  auto length = static_cast<std::uint64_t>(n);
  // An echo cannot return more than was sent: what goes beyond is damage.
  const std::uint64_t allowed = limit - stream.check.received();
  if (length > allowed) {
    (void)stream.check.Feed(buffer, allowed);
    stream.check.MarkDamagedAt(limit);
    length = allowed;
  } else {
    (void)stream.check.Feed(buffer, length);
  }
  if (!stream.check.intact()) return StreamEnd::kDamaged;
  bytes += length;
  return StreamEnd::kOpen;
}

}  // namespace

EchoResult RunEcho(const RunContext& run) {
  const ProbeOptions& o = run.options;
  EchoResult result;
  result.target = run.endpoint.target;
  result.connections = o.connections;

  const RepeatingPattern pattern = EchoPattern();
  std::vector<Stream> streams;
  for (const int fd : OpenConnections(run, o.connections, false, result.failed)) {
    const std::uint64_t phase = streams.size() * kStreamSpacing;
    streams.push_back(Stream{fd, 0, phase, StreamVerifier(pattern, phase)});
  }
  std::vector<std::uint8_t> buffer(kReadSize);
  std::vector<pollfd> polls(streams.size());

  const std::uint64_t start = NowNs();
  const std::uint64_t end = start + static_cast<std::uint64_t>(o.seconds * 1e9);
  Progress progress(run.err, start);
  std::uint64_t verifiedBefore = 0;
  std::size_t open = streams.size();
  std::uint64_t now = start;

  auto closeStream = [&](Stream& s) {
    (void)close(s.fd);
    s.fd = -1;
    --open;
  };

  while (open > 0 && stopRequests == 0 && (now = NowNs()) < end) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
      const Stream& s = streams[i];
      const bool room = s.sent - s.check.received() < o.inflight;
      polls[i] = pollfd{s.fd, static_cast<short>(POLLIN | (room ? POLLOUT : 0)), 0};
    }
    if (progress.Due(now)) {
      const double rate = static_cast<double>(result.bytesVerified - verifiedBefore) / 1e6 /
                          progress.SinceLast(now);
      verifiedBefore = result.bytesVerified;
      progress.Show(now, StreamProgress(progress.Elapsed(now), rate, result.bytesVerified,
                                        result.mismatches, result.failed));
    }
    if (PollUntil(polls.data(), polls.size(), std::min(end, progress.NextDue())) <= 0) continue;

    for (std::size_t i = 0; i < streams.size(); ++i) {
      Stream& s = streams[i];
      const short events = polls[i].revents;
      if (s.fd < 0 || events == 0) continue;
      if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) {
        const StreamEnd ended =
            ReadStream(s, buffer.data(), s.sent, result.bytesVerified, "recv", run.errors);
        if (ended == StreamEnd::kDamaged) {
          if (result.mismatches++ == 0) result.firstMismatch = s.check.firstDamage();
          closeStream(s);
          continue;
        }
        if (ended == StreamEnd::kFailed) {
          ++result.failed;
          closeStream(s);
          continue;
        }
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
            closeStream(s);
          }
          break;
        }
        s.sent += static_cast<std::uint64_t>(n);
        result.bytesSent += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < want) break;  // the socket is full
      }
    }
  }
  now = NowNs();
  progress.Finish();
  for (Stream& s : streams) {
    if (s.fd >= 0) (void)close(s.fd);
  }
  result.seconds = static_cast<double>(std::min(now, end) - start) / 1e9;
  return result;
}

ChargenResult RunChargen(const RunContext& run) {
  const ProbeOptions& o = run.options;
  ChargenResult result;
  result.target = run.endpoint.target;
  result.connections = o.connections;
  result.check = o.check;

  const RepeatingPattern block = ChargenBlockPattern();
  const RepeatingPattern lines = ChargenLinesPattern();
  std::vector<Stream> streams;
  for (const int fd : OpenConnections(run, o.connections, true, result.failed)) {
    streams.push_back(Stream{fd, UINT64_MAX, 0,
                             o.check == ChargenCheck::kLines ? StreamVerifier::JoiningLines(lines)
                                                             : StreamVerifier(block, 0)});
  }
  std::vector<std::uint8_t> buffer(kReadSize);
  std::vector<pollfd> polls(streams.size());
  for (std::size_t i = 0; i < streams.size(); ++i) polls[i] = pollfd{streams[i].fd, POLLIN, 0};

  const std::uint64_t start = NowNs();
  const std::uint64_t end = start + static_cast<std::uint64_t>(o.seconds * 1e9);
  Progress progress(run.err, start);
  std::uint64_t bytesBefore = 0;
  std::size_t open = streams.size();
  std::uint64_t now = start;

  while (open > 0 && stopRequests == 0 && (now = NowNs()) < end) {
    if (progress.Due(now)) {
      const double rate =
          static_cast<double>(result.bytes - bytesBefore) / 1e6 / progress.SinceLast(now);
      bytesBefore = result.bytes;
      progress.Show(now, StreamProgress(progress.Elapsed(now), rate, result.bytes, result.corrupted,
                                        result.failed));
    }
    if (PollUntil(polls.data(), polls.size(), std::min(end, progress.NextDue())) <= 0) continue;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      Stream& s = streams[i];
      if (s.fd < 0 || polls[i].revents == 0) continue;
      StreamEnd ended = StreamEnd::kOpen;
      if (o.check == ChargenCheck::kNone) {
        const ssize_t n = recv(s.fd, buffer.data(), kReadSize, 0);
        if (n > 0) {
          result.bytes += static_cast<std::uint64_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          run.errors.Note("recv", n == 0 ? kClosedByPeer : errno);
          ended = StreamEnd::kFailed;
        }
      } else {
        ended = ReadStream(s, buffer.data(), UINT64_MAX, result.bytes, "recv", run.errors);
      }
      if (ended == StreamEnd::kOpen) continue;
      if (ended == StreamEnd::kDamaged) {
        if (result.corrupted++ == 0) result.firstCorrupt = s.check.firstDamage();
      } else {
        ++result.failed;
      }
      (void)close(s.fd);
      s.fd = -1;
      polls[i].fd = -1;
      --open;
    }
  }
  now = NowNs();
  progress.Finish();
  for (Stream& s : streams) {
    if (s.fd >= 0) (void)close(s.fd);
  }
  result.seconds = static_cast<double>(std::min(now, end) - start) / 1e9;
  return result;
}

}  // namespace orvane::probe
