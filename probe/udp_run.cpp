// The udp mode: datagrams to the echo port, kept to a window or paced at a rate, every answer
// matched to its datagram and checked.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "probe/runs.h"
#include "probe/udp_matcher.h"

namespace orvane::probe {

namespace {

// Datagrams go out and come in through sendmmsg and recvmmsg, up to this many a call, so that
// the probe spends few system calls on each and keeps up with a fast server.
constexpr std::size_t kMostInBatch = 64;
constexpr std::size_t kBatchBytes = 256 * 1024;
// A datagram without an answer this long (or three times the longest round trip so far, if
// that is longer) gives its place in the window to the next one.
constexpr std::uint64_t kShortestGiveUp = kSecond / 5;
// Room for a burst of answers; the system caps it at net.core.rmem_max.
constexpr int kSocketBuffer = 4 << 20;
// After a send failed for another reason than a full buffer, the next try waits this long.
constexpr std::uint64_t kRetryPause = kSecond / 1000;

// Buffers for a batch of datagrams and the message headers of sendmmsg/recvmmsg over them.
class DatagramBatch {
 public:
  DatagramBatch(std::size_t count, std::size_t each)
      : each_(each), bytes_(count * each), iov_(count), messages_(count) {
    for (std::size_t i = 0; i < count; ++i) {
      iov_[i].iov_base = &bytes_[i * each];
      iov_[i].iov_len = each;
      messages_[i].msg_hdr = msghdr{};
      messages_[i].msg_hdr.msg_iov = &iov_[i];
      messages_[i].msg_hdr.msg_iovlen = 1;
    }
  }
  [[nodiscard]] std::size_t count() const { return messages_.size(); }
  std::uint8_t* Buffer(std::size_t i) { return &bytes_[i * each_]; }
  mmsghdr* Messages() { return messages_.data(); }
  [[nodiscard]] std::size_t Length(std::size_t i) const { return messages_[i].msg_len; }

 private:
  std::size_t each_;
  std::vector<std::uint8_t> bytes_;
  std::vector<iovec> iov_;
  std::vector<mmsghdr> messages_;
};

struct SendOutcome {
  std::uint64_t sent = 0;
  bool full = false;    // the socket took no more: wait until it is writable
  bool failed = false;  // another error: pause before the next try
};

// Sends up to `want` datagrams stamped `now`.
SendOutcome SendDatagrams(int fd, DatagramBatch& out, UdpMatcher& matcher,
                          const RepeatingPattern& pattern, std::size_t size, std::uint64_t now,
                          std::uint64_t want, ErrorLog& errors) {
  SendOutcome outcome;
  while (want > 0) {
    const auto k = static_cast<unsigned>(std::min<std::uint64_t>(want, out.count()));
    for (unsigned i = 0; i < k; ++i)
      FillDatagram(out.Buffer(i), size, matcher.Next(now, i), pattern);
    const int n = sendmmsg(fd, out.Messages(), k, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == ENOBUFS) {
        outcome.full = true;
      } else {
        errors.Note("send", errno);
        outcome.failed = true;
      }
      return outcome;
    }
    for (int i = 0; i < n; ++i) matcher.RecordSent(now);
    outcome.sent += static_cast<unsigned>(n);
    want -= static_cast<unsigned>(n);
    if (static_cast<unsigned>(n) < k) {
      outcome.full = true;  // the rest failed; the next call will say why
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

UdpResult RunUdp(const RunContext& run) {
  const ProbeOptions& o = run.options;
  UdpResult result;
  result.target = run.endpoint.target;
  result.size = o.size;
  result.window = o.rate > 0 ? 0 : o.window;
  result.rate = o.rate;

  const int fd = socket(run.endpoint.family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    run.errors.Note("socket", errno);
    return result;
  }
  // Connected, so that the system hands it only what comes from the server's address and port.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&run.endpoint.address), run.endpoint.length) !=
      0) {
    run.errors.Note("connect", errno);
    (void)close(fd);
    return result;
  }
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);

  const RepeatingPattern pattern = EchoPattern();
  UdpMatcher matcher(o.size, pattern);
  const std::size_t batch = std::clamp<std::size_t>(kBatchBytes / o.size, 1, kMostInBatch);
  DatagramBatch out(batch, o.size);
  // One byte more than was sent, so that a longer answer shows.
  DatagramBatch in(batch, o.size + 1);

  const std::uint64_t start = NowNs();
  Progress progress(run.err, start);
  std::uint64_t answeredBefore = 0;
  // Times from here on are nanoseconds since the start, as in the datagrams' stamps.
  const std::uint64_t runEnd =
      o.seconds > 0 ? static_cast<std::uint64_t>(o.seconds * 1e9) : UINT64_MAX;
  const auto waitNs = static_cast<std::uint64_t>(o.wait * 1e9);
  bool sending = true;
  std::uint64_t sendEnd = 0;
  std::uint64_t lastAnswer = 0;

  for (;;) {
    const std::uint64_t now = NowNs() - start;
    const UdpTally& tally = matcher.tally();
    if (sending && (now >= runEnd || (o.count > 0 && tally.sent >= o.count) || stopRequests > 0)) {
      sending = false;
      sendEnd = now;
    }
    if (!sending && (tally.Lost() == 0 || now >= sendEnd + waitNs || stopRequests > 1)) break;

    const std::uint64_t giveUpAfter = std::max(kShortestGiveUp, 3 * matcher.longestRtt());
    if (now > giveUpAfter) matcher.GiveUpBefore(now - giveUpAfter);

    std::uint64_t wake = sendEnd + waitNs;
    bool full = false;
    if (sending) {
      std::uint64_t want = 0;
      if (o.rate > 0) {
        // Datagram k is due at k / rate seconds; after a stall, catch up a few batches at a time.
        const auto due = static_cast<std::uint64_t>(static_cast<double>(now) / 1e9 * o.rate) + 1;
        want = due > tally.sent ? std::min<std::uint64_t>(due - tally.sent, 4 * batch) : 0;
      } else {
        want = o.window > matcher.inFlight() ? o.window - matcher.inFlight() : 0;
      }
      if (o.count > 0) want = std::min(want, o.count - tally.sent);
      const SendOutcome outcome =
          SendDatagrams(fd, out, matcher, pattern, o.size, now, want, run.errors);
      full = outcome.full;
      if (o.rate > 0) {
        wake = static_cast<std::uint64_t>(static_cast<double>(tally.sent) / o.rate * 1e9);
      } else if (const auto oldest = matcher.OldestInFlight()) {
        wake = *oldest + giveUpAfter;
      } else {
        wake = runEnd;
      }
      wake = std::min(wake, runEnd);
      if (outcome.failed) wake = std::min(wake, now + kRetryPause);
    }

    if (progress.Due(start + now)) {
      const double perSecond =
          static_cast<double>(tally.answered - answeredBefore) / progress.SinceLast(start + now);
      answeredBefore = tally.answered;
      progress.Show(start + now, UdpProgress(progress.Elapsed(start + now), perSecond, tally));
    }
    pollfd p{fd, static_cast<short>(POLLIN | (full ? POLLOUT : 0)), 0};
    (void)PollUntil(&p, 1, std::min(start + wake, progress.NextDue()));

    for (;;) {
      const int n =
          recvmmsg(fd, in.Messages(), static_cast<unsigned>(in.count()), MSG_DONTWAIT, nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        // Refused: an ICMP message said nothing listens there. It is worth telling, and the
        // socket goes on working.
        run.errors.Note("recv", errno);
        if (errno == ECONNREFUSED) continue;
        break;
      }
      const std::uint64_t at = NowNs() - start;
      for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (matcher.Match(in.Buffer(k), in.Length(k), at) == UdpMatcher::Verdict::kAnswer) {
          lastAnswer = at;
        }
      }
      if (static_cast<std::size_t>(n) < in.count()) break;
    }
  }
  progress.Finish();
  (void)close(fd);

  result.seconds = static_cast<double>(std::max(sendEnd, lastAnswer)) / 1e9;
  result.tally = matcher.tally();
  result.rtt = matcher.rtts().Summary();
  return result;
}

}  // namespace orvane::probe
