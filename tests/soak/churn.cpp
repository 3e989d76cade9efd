#include "tests/soak/churn.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "tests/e2e/harness.h"

namespace orvane::soak {

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// Each cycle connects, goes through the steps of its action, and ends counted as completed,
// unserved (its time ran out while it waited for room in the readiness sets) or a fault.
class ChurnSlot final : public Participant {
 public:
  ChurnSlot(int index, const LoadConfig& config, Tally& tally)
      : config_(config),
        tally_(tally),
        index_(index),
        random_(config.seed + 4000 + static_cast<std::uint64_t>(index)),
        nextAction_(index * 3) {}

  void Want(Poller& poller) override {
    if (!fd_.Valid()) return;
    short events = 0;
    switch (step_) {
      case Step::kConnecting:
        events = POLLOUT;
        break;
      case Step::kReading:
      case Step::kAwaitingEnd:
        events = POLLIN;
        break;
      case Step::kSending:
        events = static_cast<short>(POLLOUT | (action_ == kEchoStopReading ? 0 : POLLIN));
        break;
      case Step::kPaused:
        break;
    }
    if (events != 0) poller.Add(fd_.Get(), events, this);
  }

  void Ready(int /*fd*/, short revents, TimePoint now) override {
    if (step_ == Step::kConnecting) {
      int err = 0;
      socklen_t length = sizeof err;
      (void)getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &err, &length);
      if (err != 0) {
        Fault(std::string("connect: ") + std::strerror(err), now);
        return;
      }
      Connected(now);
      return;
    }
    if (fd_.Valid() && (revents & kInput) != 0 && step_ != Step::kPaused) Receive(now);
    if (fd_.Valid() && (revents & POLLOUT) != 0 && step_ == Step::kSending) Send(now);
  }

  void Tick(TimePoint now) override {
    if (!fd_.Valid()) {
      if (running_ && now >= nextStart_) Start(now);
      return;
    }
    if (step_ == Step::kPaused && now >= resumeAt_) Resume(now);
    // The client that stops reading sends for a second, whether or not the socket still takes
    // anything by then.
    if (step_ == Step::kSending && action_ == kEchoStopReading && now >= resumeAt_) {
      sendGoal_ = sent_;
      SentAll(now);
    }
    if (fd_.Valid() && now >= deadline_) TimedOut(now);
  }

  // Drops the client where it is; its cycle is not counted.
  void StopNewTraffic() override {
    running_ = false;
    if (fd_.Valid()) e2e::ResetConnection(fd_);
  }

 private:
  enum class Step { kConnecting, kSending, kReading, kPaused, kAwaitingEnd };

  [[nodiscard]] bool Chargen() const { return action_ <= kChargenStopReading; }
  [[nodiscard]] std::string Who() const {
    return Format("churn %d (%s)", index_, ChurnActionName(action_));
  }

  void Finish() override { StopNewTraffic(); }

  void Start(TimePoint now) {
    action_ = nextAction_++ % kChurnActions;
    sent_ = 0;
    received_ = 0;
    sendGoal_ = 0;
    readGoal_ = 0;
    urgentAt_.clear();
    stream_ = EchoStream(Mix(config_.seed ^ (static_cast<std::uint64_t>(index_) << 40) ^
                             static_cast<std::uint64_t>(nextAction_)));
    fd_ = StartConnect(Chargen() ? config_.chargenPort : config_.echoPort);
    if (!fd_.Valid()) {
      Fault(std::string("connect: ") + std::strerror(errno), now);
      return;
    }
    step_ = Step::kConnecting;
    // Long enough for any of the cycles, a second's pause included, and for a connection the
    // full listen queue turned away once to be retried. Where clients are known to wait for
    // room in the readiness sets, waiting that long only makes for fewer cycles.
    deadline_ = now + (config_.everyClientFits ? seconds(5) : seconds(3)) * config_.slowdown;
  }

  std::size_t Uniform(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }

  void Connected(TimePoint now) {
    switch (action_) {
      case kChargenConnectReset:
      case kEchoConnectReset:
        Done(now, true);
        return;
      case kChargenReadReset:
        Read(Uniform(1, 64 * 1024));
        return;
      case kChargenHalfClose:
      case kChargenStopReading:
        Read(e2e::kChargenBlockSize);
        return;
      case kChargenUrgent: {
        // Urgent bytes and ordinary ones: the server reads them all and throws them away.
        const char urgent = '!';
        std::string ordinary(Uniform(1, 2000), '?');
        if (SendSome(fd_.Get(), &urgent, 1, MSG_OOB) != 1 ||
            SendSome(fd_.Get(), ordinary.data(), ordinary.size()) < 0 ||
            SendSome(fd_.Get(), &urgent, 1, MSG_OOB) != 1) {
          Fault(std::string("send: ") + std::strerror(errno), now);
          return;
        }
        Read(4 * e2e::kChargenBlockSize);
        return;
      }
      case kEchoResetWithData:
        sendGoal_ = Uniform(1, 256 * 1024);
        readGoal_ = Uniform(0, sendGoal_);
        step_ = Step::kSending;
        return;
      case kEchoHalfClose:
        sendGoal_ = Uniform(1, 64 * 1024);
        step_ = Step::kSending;
        return;
      case kEchoUrgent: {
        // Two urgent bytes within ordinary data: both come back in their place in the stream.
        const std::size_t before = Uniform(0, 2048);
        const std::size_t between = Uniform(0, 2048);
        urgentAt_ = {before, before + 1 + between};
        sendGoal_ = before + 1 + between + 1 + Uniform(0, 2048);
        step_ = Step::kSending;
        return;
      }
      case kEchoStopReading:
        // Sends for a second without reading anything, as much as the connection takes.
        sendGoal_ = 8u << 20;
        resumeAt_ = now + seconds(1);
        step_ = Step::kSending;
        return;
      default:
        Fault("no such action", now);
    }
  }

  void Read(std::size_t goal) {
    readGoal_ = received_ + goal;
    step_ = Step::kReading;
  }

  void Send(TimePoint now) {
    std::size_t size = std::min<std::size_t>(sendGoal_ - sent_, kLargestEchoWrite);
    int flags = 0;
    for (const std::size_t urgent : urgentAt_) {
      if (urgent == sent_) {
        size = 1;
        flags = MSG_OOB;
      } else if (urgent > sent_) {
        size = std::min(size, urgent - sent_);
      }
    }
    stream_.Fill(sent_, g_expected, size);
    const ssize_t n = SendSome(fd_.Get(), g_expected, size, flags);
    if (n < 0) {
      if (!WouldBlock()) Fault(std::string("send: ") + std::strerror(errno), now);
      return;
    }
    sent_ += static_cast<std::size_t>(n);
    tally_.echoSent += static_cast<std::size_t>(n);
    if (sent_ == sendGoal_) SentAll(now);
  }

  void SentAll(TimePoint now) {
    switch (action_) {
      case kEchoResetWithData:
        if (received_ >= readGoal_)
          Done(now, true);
        else
          step_ = Step::kReading;
        return;
      case kEchoHalfClose:
      case kEchoUrgent:
        HalfClose(now);
        return;
      case kEchoStopReading:
        if (received_ == sent_)
          Done(now, false);
        else
          Read(sent_ - received_);
        return;
      default:
        return;
    }
  }

  // Shuts down the sending side and waits for the server to close: an echo client gets
  // everything back first.
  void HalfClose(TimePoint now) {
    if (shutdown(fd_.Get(), SHUT_WR) != 0) {
      Fault(std::string("shutdown: ") + std::strerror(errno), now);
      return;
    }
    step_ = Step::kAwaitingEnd;
  }

  void Receive(TimePoint now) {
    const ssize_t n = ReceiveSome(fd_.Get(), g_received, kReadMost);
    if (n < 0 && WouldBlock()) return;
    if (n <= 0) {
      Ended(n, now);
      return;
    }
    auto size = static_cast<std::size_t>(n);
    if (Chargen()) {
      if (!CheckChargen(received_, g_received, size, tally_, Who())) {
        Fault("corrupted", now);
        return;
      }
    } else {
      if (size > sent_ - received_) {
        tally_.echoCorrupted += size - (sent_ - received_);
        Fault(Format("%zu bytes came back that were never sent", size - (sent_ - received_)), now);
        return;
      }
      if (!stream_.Check(received_, g_received, size, tally_, Who())) {
        Fault("corrupted", now);
        return;
      }
    }
    received_ += size;
    if (step_ == Step::kReading && received_ >= readGoal_) GoalRead(now);
    if (fd_.Valid() && step_ == Step::kSending && action_ == kEchoResetWithData &&
        sent_ == sendGoal_ && received_ >= readGoal_) {
      Done(now, true);
    }
  }

  void GoalRead(TimePoint now) {
    switch (action_) {
      case kChargenHalfClose:
        HalfClose(now);
        return;
      case kChargenStopReading:
        if (!paused_) {
          paused_ = true;
          step_ = Step::kPaused;
          resumeAt_ = now + seconds(1);
          return;
        }
        paused_ = false;
        Done(now, false);
        return;
      case kChargenReadReset:
      case kEchoResetWithData:
        Done(now, true);
        return;
      default:  // urgent data to chargen, and the echo client that stopped reading
        Done(now, false);
        return;
    }
  }

  // After the pause: everything queued meanwhile, and a block more, must come and be right.
  void Resume(TimePoint /*now*/) {
    int queued = 0;
    (void)ioctl(fd_.Get(), FIONREAD, &queued);
    Read(static_cast<std::size_t>(std::max(queued, 0)) + e2e::kChargenBlockSize);
  }

  void Ended(ssize_t n, TimePoint now) {
    const bool orderly = n == 0 && step_ == Step::kAwaitingEnd;
    if (orderly && (Chargen() || received_ == sent_)) {
      Done(now, false);
      return;
    }
    if (!Chargen() && sent_ > received_) tally_.echoMissing += sent_ - received_;
    Fault(Format("connection ended after %llu bytes received, %llu sent: %s",
                 static_cast<Bytes>(received_), static_cast<Bytes>(sent_), ErrorText(n).c_str()),
          now);
  }

  void TimedOut(TimePoint now) {
    if (config_.everyClientFits) {
      Fault(Format("not done in time: %llu bytes received, %llu sent",
                   static_cast<Bytes>(received_), static_cast<Bytes>(sent_)),
            now);
      return;
    }
    ++tally_.churn[action_].cycles;
    ++tally_.churn[action_].unserved;
    Next(now, true);
  }

  void Done(TimePoint now, bool reset) {
    ++tally_.churn[action_].cycles;
    ++tally_.churn[action_].completed;
    Next(now, reset);
  }

  void Fault(const std::string& what, TimePoint now) {
    ++tally_.churn[action_].cycles;
    ++tally_.churn[action_].faults;
    tally_.Fault(Who() + ": " + what);
    Next(now, true);
  }

  void Next(TimePoint now, bool reset) {
    if (reset && fd_.Valid()) e2e::ResetConnection(fd_);
    fd_.Reset();
    paused_ = false;
    nextStart_ = now + milliseconds(static_cast<long>(Uniform(0, 10)));
  }

  const LoadConfig& config_;
  Tally& tally_;
  int index_;
  std::mt19937_64 random_;
  int nextAction_;
  int action_ = 0;
  bool running_ = true;
  bool paused_ = false;
  UniqueFd fd_;
  Step step_ = Step::kConnecting;
  EchoStream stream_;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t sendGoal_ = 0;
  std::uint64_t readGoal_ = 0;
  std::vector<std::size_t> urgentAt_;
  TimePoint deadline_{};
  TimePoint resumeAt_{};
  TimePoint nextStart_{};
};

}  // namespace

std::unique_ptr<Participant> MakeChurnSlot(int index, const LoadConfig& config, Tally& tally) {
  return std::make_unique<ChurnSlot>(index, config, tally);
}

}  // namespace orvane::soak
