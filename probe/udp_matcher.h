#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "probe/pattern.h"
#include "probe/rtt_histogram.h"

namespace orvane::probe {

struct UdpTally {
  std::uint64_t sent = 0;
  std::uint64_t answered = 0;    // distinct datagrams that came back intact
  std::uint64_t duplicated = 0;  // further intact copies of a datagram already answered
  std::uint64_t reordered = 0;   // answers that came after the answer to a later datagram
  std::uint64_t corrupted = 0;   // answers that came back damaged (each stands for one sent)

  // What neither came back intact nor came back damaged.
  [[nodiscard]] std::uint64_t Lost() const {
    const std::uint64_t back = answered + corrupted;
    return sent > back ? sent - back : 0;
  }
};

// Matches the answers of the udp mode to the datagrams sent, whatever order they come in, and
// keeps the tally and the round-trip times. Times are nanoseconds since the run began.
class UdpMatcher {
 public:
  enum class Verdict { kAnswer, kDuplicate, kCorrupted };

  UdpMatcher(std::size_t size, const RepeatingPattern& pattern);

  // The header of the datagram `ahead` places after the next one to go out, sent at `now`: the
  // send loop fills a batch before it knows how much of it the socket takes.
  [[nodiscard]] DatagramHeader Next(std::uint64_t now, std::uint64_t ahead = 0) const {
    return {tally_.sent + ahead, now};
  }
  // The next datagram went out at `now`, with the header Next gave for it.
  void RecordSent(std::uint64_t now);

  // Takes one answer that came at `now`.
  Verdict Match(const std::uint8_t* data, std::size_t length, std::uint64_t now);

  // Stops waiting for the datagrams sent before `cutoff` that have no answer yet: they no
  // longer count as in flight, though an answer that comes later still counts. Returns how many.
  std::uint64_t GiveUpBefore(std::uint64_t cutoff);

  // Datagrams sent and neither answered nor given up.
  [[nodiscard]] std::uint64_t inFlight() const { return inFlight_; }
  // When the oldest datagram still in flight was sent; empty if none is.
  [[nodiscard]] std::optional<std::uint64_t> OldestInFlight() const;

  [[nodiscard]] const UdpTally& tally() const { return tally_; }
  [[nodiscard]] const RttHistogram& rtts() const { return rtts_; }
  // The longest round trip so far, in nanoseconds (0 before the first answer).
  [[nodiscard]] std::uint64_t longestRtt() const { return longestRtt_; }

 private:
  [[nodiscard]] bool Answered(std::uint64_t sequence) const {
    return (answered_[sequence / 64] >> (sequence % 64)) & 1u;
  }
  // Moves past the datagrams at the front that have been answered.
  void DropAnsweredFront();

  std::size_t size_;
  const RepeatingPattern* pattern_;
  UdpTally tally_;
  RttHistogram rtts_;
  std::uint64_t longestRtt_ = 0;
  std::uint64_t answeredBelow_ = 0;      // one more than the highest sequence number answered
  std::vector<std::uint64_t> answered_;  // one bit for each datagram sent
  // The send times of the datagrams from base_ on, at sequence number modulo the ring's size,
  // a power of two that doubles when the ring is full.
  std::vector<std::uint64_t> sendTimes_;
  std::uint64_t base_ = 0;
  std::uint64_t inFlight_ = 0;
};

}  // namespace orvane::probe
