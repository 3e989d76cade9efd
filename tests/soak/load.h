#pragma once

// The traffic of a soak run: long-lived chargen readers and echo clients, UDP senders, senders
// of datagrams the server must refuse, and a churn of short-lived clients, all on one thread
// around one poll(2), each verifying every byte it gets back.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane::soak {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct LoadConfig {
  std::uint16_t echoPort = 0;
  std::uint16_t chargenPort = 0;
  int chargenReaders = 60;
  int echoClients = 60;
  int churnSlots = 4;
  int udpSenders = 4;
  // Bytes an echo client has sent and not yet seen back, at most.
  std::size_t echoInFlight = 256 * 1024;
  // Datagrams a UDP sender has sent and not yet seen answered, at most. Few enough that all of
  // them, with one refused datagram of 64 KiB, fit into the server's default receive queue, so
  // that a missing answer is the server's fault and not an overflow the load provoked.
  int udpInFlight = 4;
  std::uint64_t seed = 1;
  // Every client fits into the readiness sets: then each churn client must be served in time.
  bool everyClientFits = false;
  // Factor for every time limit, for a server slowed down by a memory checker.
  int slowdown = 1;
};

// Kinds of datagram the server must never answer.
enum RefusedKind {
  kRefusedEmpty,
  kRefusedOversized,  // 1501 to 65507 bytes
  kRefusedFromDot0,
  kRefusedFromDot255,
  kRefusedFromEchoPort,
  kRefusedFromLowPort,  // a sender port below 1024, where the system lets us bind one
  kRefusedKinds
};

// What churn clients do with their connection.
enum ChurnAction {
  kChargenConnectReset,
  kChargenReadReset,
  kChargenHalfClose,
  kChargenUrgent,
  kChargenStopReading,
  kEchoConnectReset,
  kEchoResetWithData,
  kEchoHalfClose,
  kEchoUrgent,
  kEchoStopReading,
  kChurnActions
};
const char* ChurnActionName(int action);
const char* RefusedKindName(int kind);

struct ChurnTally {
  std::uint64_t cycles = 0;
  std::uint64_t completed = 0;  // did what it meant to and got back what it had to
  std::uint64_t unserved = 0;   // not served before its time ran out (readiness sets full)
  std::uint64_t faults = 0;
};

// Everything the load counts. Faults also leave a description, the first few of them.
struct Tally {
  std::uint64_t chargenVerified = 0;
  std::uint64_t chargenCorrupted = 0;
  std::uint64_t echoSent = 0;
  std::uint64_t echoVerified = 0;
  std::uint64_t echoCorrupted = 0;
  std::uint64_t echoMissing = 0;
  std::uint64_t connectionsLost = 0;  // long-lived clients whose connection ended unasked
  std::uint64_t udpSent = 0;
  std::uint64_t udpVerified = 0;
  std::uint64_t udpCorrupted = 0;
  std::uint64_t udpMissing = 0;
  std::array<std::uint64_t, kRefusedKinds> refusedSent{};
  std::array<std::uint64_t, kRefusedKinds> refusedAnswered{};
  bool lowPortAvailable = false;
  std::array<ChurnTally, kChurnActions> churn{};
  std::uint64_t faultCount = 0;
  std::vector<std::string> faults;

  void Fault(std::string what);
};

class Participant;
class ChargenReader;
class EchoClient;
class UdpSender;
class RefusalProbe;

class Load {
 public:
  Load(const LoadConfig& config, Tally& tally);
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;
  ~Load();

  // Connects the long-lived clients and opens the UDP sockets; false with the reason if any
  // could not be made. After every few connections it calls waitAccepted(n), which waits a
  // while for the server to have taken in the first n: the server takes one connection a port
  // in each pass of its loop and its listen queues are short, and a connection they turn away
  // is tried again only a second later.
  bool Open(TimePoint deadline, std::string& why, const std::function<void(int)>& waitAccepted);

  // Moves all traffic until `until`, or until keepGoing() says no (asked every few ms).
  void Run(TimePoint until, const std::function<bool()>& keepGoing);
  // Moves the traffic until done() holds; false if the deadline or keepGoing() came first.
  bool RunUntil(const std::function<bool()>& done, TimePoint deadline,
                const std::function<bool()>& keepGoing);

  // The end, step by step: no new traffic (churn clients are dropped where they are), and the
  // UDP senders wait for their answers; then the chargen readers leave; then the echo clients
  // wait for all they sent and half-close; then every client still open is closed.
  void StopNewTraffic();
  [[nodiscard]] bool UdpSettled() const;
  void CloseChargenReaders();
  [[nodiscard]] bool EchoDrained() const;
  void HalfCloseEchoClients();
  [[nodiscard]] bool EchoClosed() const;
  // Counts what never came back as missing and closes everything.
  void Finish();

  // Long-lived clients that got data during the run (taken when StopNewTraffic is called).
  [[nodiscard]] int ChargenServed() const { return chargenServed_; }
  [[nodiscard]] int EchoServed() const { return echoServed_; }

 private:
  LoadConfig config_;
  Tally& tally_;
  std::vector<std::unique_ptr<ChargenReader>> chargen_;
  std::vector<std::unique_ptr<EchoClient>> echo_;
  std::vector<std::unique_ptr<UdpSender>> udp_;
  std::unique_ptr<RefusalProbe> refusal_;
  std::vector<std::unique_ptr<Participant>> churn_;
  std::vector<Participant*> all_;  // every one of the above, for the poll loop
  int chargenServed_ = 0;
  int echoServed_ = 0;
};

}  // namespace orvane::soak
