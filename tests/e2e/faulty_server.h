#pragma once

// An echo and chargen server in a thread of the test, on a loopback address (IPv4 or IPv6),
// that serves like any other except where its plan makes it drop, duplicate, reorder or damage
// what it sends back: the other end for the probe's tests of what it detects.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/support/unique_fd.h"

namespace orvane::e2e {

enum class DatagramFault { kNone, kDrop, kDuplicate, kCorrupt, kReorder, kTruncate };
enum class StreamFault { kNone, kCorrupt, kDropByte, kInsertByte, kClose };
enum class ChargenKind { kBlock, kLines };

struct FaultPlan {
  // Datagram number n (from 0) is hit when n % every == 0; a reordered one is held back and
  // answered just after the next.
  DatagramFault datagram = DatagramFault::kNone;
  unsigned every = 10;
  // Every connection's stream, echo or chargen, is hit once, at stream offset `at`: one byte
  // changed, left out or put in, or the connection closed there.
  StreamFault stream = StreamFault::kNone;
  std::uint64_t at = 0;
  // What chargen sends: our 1460-byte block or RFC 864 lines, from `skip` bytes into it.
  ChargenKind chargen = ChargenKind::kBlock;
  std::uint64_t skip = 0;
};

class FaultyServer {
 public:
  // address: "127.0.0.1" or "::1". Check Ready() before use.
  FaultyServer(const std::string& address, const FaultPlan& plan);
  FaultyServer(const FaultyServer&) = delete;
  FaultyServer& operator=(const FaultyServer&) = delete;
  ~FaultyServer();

  [[nodiscard]] bool Ready() const { return error_.empty(); }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] std::uint16_t udpPort() const { return udpPort_; }
  [[nodiscard]] std::uint16_t echoPort() const { return echoPort_; }
  [[nodiscard]] std::uint16_t chargenPort() const { return chargenPort_; }

 private:
  void Serve();

  FaultPlan plan_;
  std::string error_;
  testsupport::UniqueFd udp_;
  testsupport::UniqueFd echoListener_;
  testsupport::UniqueFd chargenListener_;
  std::uint16_t udpPort_ = 0;
  std::uint16_t echoPort_ = 0;
  std::uint16_t chargenPort_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace orvane::e2e
