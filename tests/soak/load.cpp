#include "tests/soak/load.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <random>

#include "tests/e2e/harness.h"
#include "tests/soak/churn.h"
#include "tests/soak/traffic.h"

namespace orvane::soak {

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// How many faults keep their description.
constexpr std::size_t kFaultsDescribed = 20;

}  // namespace

const char* ChurnActionName(int action) {
  static const char* const kNames[kChurnActions] = {"chargen: connect, reset",
                                                    "chargen: read, reset",
                                                    "chargen: half-close",
                                                    "chargen: urgent data",
                                                    "chargen: stop reading a while",
                                                    "echo: connect, reset",
                                                    "echo: reset with data out",
                                                    "echo: half-close",
                                                    "echo: urgent data",
                                                    "echo: stop reading a while"};
  return action >= 0 && action < kChurnActions ? kNames[action] : "?";
}

const char* RefusedKindName(int kind) {
  static const char* const kNames[kRefusedKinds] = {"empty",
                                                    "1501 to 65507 bytes",
                                                    "from 127.77.0.0",
                                                    "from 127.77.0.255",
                                                    "from the echo port",
                                                    "from a port below 1024"};
  return kind >= 0 && kind < kRefusedKinds ? kNames[kind] : "?";
}

void Tally::Fault(std::string what) {
  ++faultCount;
  if (faults.size() < kFaultsDescribed) faults.push_back(std::move(what));
}

// ---------------------------------------------------------------------------------------------
// A chargen reader that stays connected and reads the stream as fast as it comes.

class ChargenReader final : public Participant {
 public:
  ChargenReader(int index, Tally& tally)
      : tally_(tally), who_("chargen reader " + std::to_string(index)) {}

  bool Open(std::uint16_t port, std::string& why) {
    fd_ = e2e::ConnectTcp(port, milliseconds(5000));
    if (!fd_.Valid()) why = who_ + ": connect: " + std::strerror(errno);
    return fd_.Valid();
  }

  void Want(Poller& poller) override {
    if (fd_.Valid()) poller.Add(fd_.Get(), POLLIN, this);
  }

  void Ready(int /*fd*/, short /*revents*/, TimePoint /*now*/) override {
    const ssize_t n = ReceiveSome(fd_.Get(), g_received, kReadMost);
    if (n > 0) {
      const auto size = static_cast<std::size_t>(n);
      if (!CheckChargen(offset_, g_received, size, tally_, who_)) fd_.Reset();
      offset_ += size;
      return;
    }
    if (n < 0 && WouldBlock()) return;
    ++tally_.connectionsLost;
    tally_.Fault(Format("%s: connection ended after %llu bytes: %s", who_.c_str(),
                        static_cast<Bytes>(offset_), ErrorText(n).c_str()));
    fd_.Reset();
  }

  [[nodiscard]] bool Served() const { return offset_ > 0; }
  void Finish() override { fd_.Reset(); }

 private:
  Tally& tally_;
  std::string who_;
  UniqueFd fd_;
  std::uint64_t offset_ = 0;
};

// ---------------------------------------------------------------------------------------------
// An echo client that stays connected, keeps writing random data with a bounded amount in
// flight and checks everything that comes back.

class EchoClient final : public Participant {
 public:
  EchoClient(int index, const LoadConfig& config, Tally& tally)
      : config_(config),
        tally_(tally),
        who_("echo client " + std::to_string(index)),
        stream_(Mix(config.seed ^ (0xEC40ull << 32) ^ static_cast<std::uint64_t>(index))),
        random_(config.seed + 1000 + static_cast<std::uint64_t>(index)) {}

  bool Open(std::uint16_t port, std::string& why) {
    fd_ = e2e::ConnectTcp(port, milliseconds(5000));
    if (!fd_.Valid()) why = who_ + ": connect: " + std::strerror(errno);
    return fd_.Valid();
  }

  void Want(Poller& poller) override {
    if (!fd_.Valid()) return;
    short events = 0;
    if (phase_ == Phase::kLoad && Outstanding() < config_.echoInFlight) events |= POLLOUT;
    if (phase_ != Phase::kDrain || Outstanding() > 0) events |= POLLIN;
    if (events != 0) poller.Add(fd_.Get(), events, this);
  }

  void Ready(int /*fd*/, short revents, TimePoint /*now*/) override {
    if ((revents & kInput) != 0) Receive();
    if (fd_.Valid() && (revents & POLLOUT) != 0 && phase_ == Phase::kLoad) Send();
  }

  [[nodiscard]] bool Served() const { return received_ > 0; }
  void StopNewTraffic() override {
    if (phase_ == Phase::kLoad) phase_ = Phase::kDrain;
  }
  [[nodiscard]] bool Drained() const { return !fd_.Valid() || Outstanding() == 0; }

  void HalfClose() {
    if (!fd_.Valid()) return;
    phase_ = Phase::kClosing;
    if (shutdown(fd_.Get(), SHUT_WR) != 0) Lost(std::string("shutdown: ") + std::strerror(errno));
  }
  [[nodiscard]] bool Closed() const { return !fd_.Valid(); }

  void Finish() override {
    if (!fd_.Valid()) return;
    if (Outstanding() > 0) {
      tally_.echoMissing += Outstanding();
      tally_.Fault(Format("%s: %llu of %llu bytes sent never came back", who_.c_str(),
                          static_cast<Bytes>(Outstanding()), static_cast<Bytes>(sent_)));
    } else if (phase_ == Phase::kClosing) {
      tally_.Fault(who_ + ": the server did not close the connection after the half-close");
    }
    fd_.Reset();
  }

 private:
  enum class Phase { kLoad, kDrain, kClosing };

  [[nodiscard]] std::uint64_t Outstanding() const { return sent_ - received_; }

  void Receive() {
    const ssize_t n = ReceiveSome(fd_.Get(), g_received, kReadMost);
    if (n > 0) {
      auto size = static_cast<std::size_t>(n);
      if (size > Outstanding()) {
        tally_.echoCorrupted += size - Outstanding();
        tally_.Fault(Format("%s: %zu bytes came back that were never sent", who_.c_str(),
                            size - static_cast<std::size_t>(Outstanding())));
        size = static_cast<std::size_t>(Outstanding());
      }
      if (!stream_.Check(received_, g_received, size, tally_, who_)) {
        // The stream can no longer be followed: what is still out is not counted as missing.
        received_ = sent_;
        fd_.Reset();
        return;
      }
      received_ += size;
      return;
    }
    if (n < 0 && WouldBlock()) return;
    if (n == 0 && phase_ == Phase::kClosing && Outstanding() == 0) {
      fd_.Reset();  // the orderly end after the half-close
      return;
    }
    Lost(ErrorText(n));
  }

  void Send() {
    const std::size_t room = config_.echoInFlight - static_cast<std::size_t>(Outstanding());
    std::uniform_int_distribution<std::size_t> sizes(1, kLargestEchoWrite);
    const std::size_t size = std::min(room, sizes(random_));
    stream_.Fill(sent_, g_expected, size);
    const ssize_t n = SendSome(fd_.Get(), g_expected, size);
    if (n > 0) {
      sent_ += static_cast<std::size_t>(n);
      tally_.echoSent += static_cast<std::size_t>(n);
    } else if (n < 0 && !WouldBlock()) {
      Lost(std::string("send: ") + std::strerror(errno));
    }
  }

  void Lost(const std::string& why) {
    ++tally_.connectionsLost;
    tally_.echoMissing += Outstanding();
    tally_.Fault(Format("%s: connection ended after %llu of %llu bytes came back: %s", who_.c_str(),
                        static_cast<Bytes>(received_), static_cast<Bytes>(sent_), why.c_str()));
    fd_.Reset();
  }

  const LoadConfig& config_;
  Tally& tally_;
  std::string who_;
  EchoStream stream_;
  std::mt19937_64 random_;
  UniqueFd fd_;
  Phase phase_ = Phase::kLoad;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
};

// ---------------------------------------------------------------------------------------------
// A UDP sender of datagrams the server must answer: 1 to 1500 bytes, a few in flight, each
// answer checked against the oldest one still out.

class UdpSender final : public Participant {
 public:
  UdpSender(int index, const LoadConfig& config, Tally& tally)
      : config_(config),
        tally_(tally),
        who_("UDP sender " + std::to_string(index)),
        random_(config.seed + 2000 + static_cast<std::uint64_t>(index)) {}

  bool Open(const char* address, std::string& why) {
    fd_ = e2e::BindUdp(address, 0);
    if (!fd_.Valid()) why = who_ + ": bind " + address + ": " + std::strerror(errno);
    return fd_.Valid();
  }

  void Want(Poller& poller) override { poller.Add(fd_.Get(), POLLIN, this); }

  void Ready(int /*fd*/, short /*revents*/, TimePoint /*now*/) override {
    std::string payload;
    std::uint16_t fromPort = 0;
    for (int i = 0; i < 64 && ReceiveDatagramNow(fd_.Get(), payload, fromPort); ++i) {
      Match(payload, fromPort);
    }
  }

  void Tick(TimePoint now) override {
    const auto answerTime = seconds(5) * config_.slowdown;
    while (!out_.empty() && now - out_.front().sentAt > answerTime) {
      ++tally_.udpMissing;
      tally_.Fault(Format("%s: a datagram of %zu bytes was not answered within %lld s",
                          who_.c_str(), out_.front().payload.size(),
                          static_cast<long long>(answerTime.count())));
      out_.pop_front();
    }
    while (sending_ && out_.size() < static_cast<std::size_t>(config_.udpInFlight)) {
      if (!SendOne(now)) break;
    }
  }

  void StopNewTraffic() override { sending_ = false; }
  [[nodiscard]] bool Settled() const { return out_.empty(); }

  void Finish() override {
    tally_.udpMissing += out_.size();
    if (!out_.empty()) {
      tally_.Fault(Format("%s: %zu datagrams were never answered", who_.c_str(), out_.size()));
    }
    out_.clear();
  }

 private:
  struct Sent {
    std::string payload;
    TimePoint sentAt;
  };

  bool SendOne(TimePoint now) {
    // Mostly any size, and the two limits often.
    std::uniform_int_distribution<std::size_t> sizes(1, kLargestAnswered);
    std::size_t size = sizes(random_);
    const std::uint64_t limit = random_() % 16;
    if (limit == 0) size = 1;
    if (limit == 1) size = kLargestAnswered;
    std::string payload(size, '\0');
    for (char& c : payload) c = static_cast<char>(random_());
    if (!SendDatagramTo(fd_.Get(), config_.echoPort, payload.data(), payload.size())) {
      if (errno != EAGAIN && errno != ENOBUFS) {
        tally_.Fault(who_ + ": sendto: " + std::strerror(errno));
        sending_ = false;
      }
      return false;
    }
    ++tally_.udpSent;
    out_.push_back(Sent{std::move(payload), now});
    return true;
  }

  void Match(const std::string& payload, std::uint16_t fromPort) {
    // The answers come in the order of the datagrams; one that matches a later datagram means
    // those before it were lost.
    for (std::size_t k = 0; k < out_.size(); ++k) {
      if (out_[k].payload != payload) continue;
      if (k > 0) {
        tally_.udpMissing += k;
        tally_.Fault(Format("%s: %zu datagrams were skipped", who_.c_str(), k));
      }
      if (fromPort != config_.echoPort) {
        ++tally_.udpCorrupted;
        tally_.Fault(Format("%s: answered from port %u", who_.c_str(), fromPort));
      } else {
        ++tally_.udpVerified;
      }
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(k + 1));
      return;
    }
    ++tally_.udpCorrupted;
    tally_.Fault(Format("%s: an answer of %zu bytes matches no datagram sent", who_.c_str(),
                        payload.size()));
  }

  const LoadConfig& config_;
  Tally& tally_;
  std::string who_;
  std::mt19937_64 random_;
  UniqueFd fd_;
  std::deque<Sent> out_;
  bool sending_ = true;
};

// ---------------------------------------------------------------------------------------------
// Sends, one at a time, datagrams the server must refuse, each followed by a valid marker from
// another socket: once the marker is answered, the server has dealt with the refused datagram,
// and at most one large refused datagram is ever waiting in its receive queue. Whatever comes
// back to a socket that sent refused datagrams is a fault.

class RefusalProbe final : public Participant {
 public:
  RefusalProbe(const LoadConfig& config, Tally& tally)
      : config_(config), tally_(tally), random_(config.seed + 3000) {}

  bool Open(std::string& why) {
    senders_[kRefusedEmpty] = e2e::BindUdp("127.0.0.1", 0);
    senders_[kRefusedOversized] = e2e::BindUdp("127.0.0.1", 0);
    senders_[kRefusedFromDot0] = e2e::BindUdp("127.77.0.0", 0);
    senders_[kRefusedFromDot255] = e2e::BindUdp("127.77.0.255", 0);
    // The server's socket allows address reuse, so ours may share the echo port on one
    // loopback address of its own, and catches what the server sends there.
    senders_[kRefusedFromEchoPort] = e2e::BindUdpSharing("127.0.0.2", config_.echoPort);
    // Ports below 1024 need privilege; without it this kind is left out.
    for (std::uint16_t port = 1023; port >= 1000 && !senders_[kRefusedFromLowPort].Valid();
         --port) {
      senders_[kRefusedFromLowPort] = e2e::BindUdp("127.77.1.1", port);
      if (errno == EACCES) break;
    }
    tally_.lowPortAvailable = senders_[kRefusedFromLowPort].Valid();
    marker_ = e2e::BindUdp("127.0.0.1", 0);
    for (int kind = 0; kind < kRefusedKinds; ++kind) {
      if (kind != kRefusedFromLowPort && !senders_[kind].Valid()) {
        why = std::string("refused datagrams ") + RefusedKindName(kind) + ": bind failed";
        return false;
      }
    }
    if (!marker_.Valid()) why = std::string("marker socket: ") + std::strerror(errno);
    return marker_.Valid();
  }

  void Want(Poller& poller) override {
    for (const UniqueFd& s : senders_) {
      if (s.Valid()) poller.Add(s.Get(), POLLIN, this);
    }
    poller.Add(marker_.Get(), POLLIN, this);
  }

  void Ready(int fd, short /*revents*/, TimePoint now) override {
    std::string payload;
    std::uint16_t fromPort = 0;
    if (fd == marker_.Get()) {
      while (ReceiveDatagramNow(fd, payload, fromPort)) {
        if (waiting_ && payload == marker_payload_ && fromPort == config_.echoPort) {
          ++tally_.udpVerified;
          waiting_ = false;
          next_ = now + milliseconds(2);
        } else {
          ++tally_.udpCorrupted;
          tally_.Fault(Format("marker socket: an unexpected answer of %zu bytes from port %u",
                              payload.size(), fromPort));
        }
      }
      return;
    }
    for (int kind = 0; kind < kRefusedKinds; ++kind) {
      if (senders_[kind].Get() != fd) continue;
      while (ReceiveDatagramNow(fd, payload, fromPort)) {
        ++tally_.refusedAnswered[kind];
        tally_.Fault(Format("a refused datagram (%s) was answered with %zu bytes from port %u",
                            RefusedKindName(kind), payload.size(), fromPort));
      }
    }
  }

  void Tick(TimePoint now) override {
    if (waiting_) {
      if (now < markerDeadline_) return;
      ++tally_.udpMissing;
      tally_.Fault("a marker datagram after a refused one was not answered in time");
      waiting_ = false;
    }
    if (!sending_ || now < next_) return;
    const int kind = NextKind();
    if (!SendRefused(kind)) return;
    ++tally_.refusedSent[kind];
    marker_payload_ = "marker " + std::to_string(++markers_) + " after " + RefusedKindName(kind);
    if (!SendDatagramTo(marker_.Get(), config_.echoPort, marker_payload_.data(),
                        marker_payload_.size())) {
      tally_.Fault(std::string("marker socket: sendto: ") + std::strerror(errno));
      sending_ = false;
      return;
    }
    ++tally_.udpSent;
    waiting_ = true;
    markerDeadline_ = now + seconds(5) * config_.slowdown;
  }

  void StopNewTraffic() override { sending_ = false; }
  [[nodiscard]] bool Settled() const { return !waiting_; }

  void Finish() override {
    if (!waiting_) return;
    ++tally_.udpMissing;
    tally_.Fault("the last marker datagram was never answered");
    waiting_ = false;
  }

 private:
  int NextKind() {
    int kind = kindCursor_++ % kRefusedKinds;
    if (!senders_[kind].Valid()) kind = kindCursor_++ % kRefusedKinds;
    return kind;
  }

  bool SendRefused(int kind) {
    std::size_t size = 0;
    if (kind == kRefusedOversized) {
      // The two limits, and anything in between.
      const std::uint64_t pick = oversized_++ % 4;
      std::uniform_int_distribution<std::size_t> sizes(kLargestAnswered + 1, kLargestDatagram);
      size = pick == 0 ? kLargestAnswered + 1 : pick == 1 ? kLargestDatagram : sizes(random_);
    } else if (kind != kRefusedEmpty) {
      std::uniform_int_distribution<std::size_t> sizes(1, kLargestAnswered);
      size = sizes(random_);
    }
    for (std::size_t i = 0; i < size; ++i) g_datagram[i] = static_cast<char>(random_());
    if (SendDatagramTo(senders_[kind].Get(), config_.echoPort, g_datagram, size)) return true;
    if (errno != EAGAIN && errno != ENOBUFS) {
      tally_.Fault(Format("refused datagram (%s) of %zu bytes: sendto: %s", RefusedKindName(kind),
                          size, std::strerror(errno)));
      sending_ = false;
    }
    return false;
  }

  const LoadConfig& config_;
  Tally& tally_;
  std::mt19937_64 random_;
  std::array<UniqueFd, kRefusedKinds> senders_;
  UniqueFd marker_;
  std::string marker_payload_;
  std::uint64_t markers_ = 0;
  std::uint64_t oversized_ = 0;
  int kindCursor_ = 0;
  bool sending_ = true;
  bool waiting_ = false;
  TimePoint next_{};
  TimePoint markerDeadline_{};
};

// ---------------------------------------------------------------------------------------------

Load::Load(const LoadConfig& config, Tally& tally) : config_(config), tally_(tally) {}

Load::~Load() = default;

bool Load::Open(TimePoint deadline, std::string& why,
                const std::function<void(int)>& waitAccepted) {
  constexpr int kConnectionsAtOnce = 4;
  int connected = 0;
  int waitedFor = 0;
  for (int i = 0; i < std::max(config_.chargenReaders, config_.echoClients); ++i) {
    if (connected - waitedFor >= kConnectionsAtOnce) {
      waitAccepted(connected);
      waitedFor = connected;
    }
    if (Clock::now() >= deadline) {
      why = "out of time while connecting the clients";
      return false;
    }
    if (i < config_.chargenReaders) {
      chargen_.push_back(std::make_unique<ChargenReader>(i, tally_));
      if (!chargen_.back()->Open(config_.chargenPort, why)) return false;
      ++connected;
    }
    if (i < config_.echoClients) {
      echo_.push_back(std::make_unique<EchoClient>(i, config_, tally_));
      if (!echo_.back()->Open(config_.echoPort, why)) return false;
      ++connected;
    }
  }
  waitAccepted(connected);
  static const char* const kSenderAddresses[] = {"127.0.0.1", "127.0.0.6", "127.3.4.5",
                                                 "127.200.0.254"};
  for (int i = 0; i < config_.udpSenders; ++i) {
    udp_.push_back(std::make_unique<UdpSender>(i, config_, tally_));
    if (!udp_.back()->Open(kSenderAddresses[i % 4], why)) return false;
  }
  refusal_ = std::make_unique<RefusalProbe>(config_, tally_);
  if (!refusal_->Open(why)) return false;
  for (int i = 0; i < config_.churnSlots; ++i) {
    churn_.push_back(MakeChurnSlot(i, config_, tally_));
  }

  for (auto& p : chargen_) all_.push_back(p.get());
  for (auto& p : echo_) all_.push_back(p.get());
  for (auto& p : udp_) all_.push_back(p.get());
  all_.push_back(refusal_.get());
  for (auto& p : churn_) all_.push_back(p.get());
  return true;
}

void Load::Run(TimePoint until, const std::function<bool()>& keepGoing) {
  (void)RunUntil([] { return false; }, until, keepGoing);
}

bool Load::RunUntil(const std::function<bool()>& done, TimePoint deadline,
                    const std::function<bool()>& keepGoing) {
  Poller poller;
  TimePoint lastAsked = Clock::now();
  for (;;) {
    TimePoint now = Clock::now();
    if (done()) return true;
    if (now >= deadline) return false;
    if (now - lastAsked >= milliseconds(50)) {
      lastAsked = now;
      if (!keepGoing()) return false;
    }
    poller.Clear();
    for (Participant* p : all_) p->Want(poller);
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - now).count();
    const int timeout = static_cast<int>(std::clamp<long long>(left, 0, 5));
    std::vector<pollfd>& polled = poller.polled();
    const int ready = poll(polled.data(), polled.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      tally_.Fault(std::string("poll: ") + std::strerror(errno));
      return false;
    }
    now = Clock::now();
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i) {
      if (polled[i].revents != 0) poller.owner(i)->Ready(polled[i].fd, polled[i].revents, now);
    }
    for (Participant* p : all_) p->Tick(now);
  }
}

void Load::StopNewTraffic() {
  chargenServed_ = static_cast<int>(
      std::count_if(chargen_.begin(), chargen_.end(), [](const auto& c) { return c->Served(); }));
  echoServed_ = static_cast<int>(
      std::count_if(echo_.begin(), echo_.end(), [](const auto& c) { return c->Served(); }));
  for (auto& c : churn_) c->StopNewTraffic();
  for (auto& u : udp_) u->StopNewTraffic();
  refusal_->StopNewTraffic();
  for (auto& e : echo_) e->StopNewTraffic();
}

bool Load::UdpSettled() const {
  return refusal_->Settled() &&
         std::all_of(udp_.begin(), udp_.end(), [](const auto& u) { return u->Settled(); });
}

void Load::CloseChargenReaders() {
  for (auto& c : chargen_) c->Finish();
}

bool Load::EchoDrained() const {
  return std::all_of(echo_.begin(), echo_.end(), [](const auto& e) { return e->Drained(); });
}

void Load::HalfCloseEchoClients() {
  for (auto& e : echo_) e->HalfClose();
}

bool Load::EchoClosed() const {
  return std::all_of(echo_.begin(), echo_.end(), [](const auto& e) { return e->Closed(); });
}

void Load::Finish() {
  for (Participant* p : all_) p->Finish();
}

}  // namespace orvane::soak
