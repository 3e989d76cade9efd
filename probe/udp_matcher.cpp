#include "probe/udp_matcher.h"

namespace orvane::probe {

namespace {

constexpr std::size_t kFirstRing = 1024;

}  // namespace

UdpMatcher::UdpMatcher(std::size_t size, const RepeatingPattern& pattern)
    : size_(size), pattern_(&pattern), answered_(kFirstRing / 64, 0), sendTimes_(kFirstRing, 0) {}

void UdpMatcher::RecordSent(std::uint64_t now) {
  const std::uint64_t sequence = tally_.sent;
  if (sequence - base_ == sendTimes_.size()) {
    std::vector<std::uint64_t> larger(sendTimes_.size() * 2);
    for (std::uint64_t s = base_; s < sequence; ++s) {
      larger[s & (larger.size() - 1)] = sendTimes_[s & (sendTimes_.size() - 1)];
    }
    sendTimes_.swap(larger);
  }
  if (sequence / 64 >= answered_.size()) answered_.resize(answered_.size() * 2, 0);
  sendTimes_[sequence & (sendTimes_.size() - 1)] = now;
  ++tally_.sent;
  ++inFlight_;
}

UdpMatcher::Verdict UdpMatcher::Match(const std::uint8_t* data, std::size_t length,
                                      std::uint64_t now) {
  const auto header = ReadIntactDatagram(data, length, size_, *pattern_);
  // A header we never wrote: a sequence number not sent yet, or a time stamp other than the
  // one recorded for it (or, once that record is gone, one from the future).
  const bool known = header && header->sequence < tally_.sent &&
                     (header->sequence >= base_
                          ? header->stamp == sendTimes_[header->sequence & (sendTimes_.size() - 1)]
                          : header->stamp <= now);
  if (!known) {
    ++tally_.corrupted;
    return Verdict::kCorrupted;
  }
  const std::uint64_t sequence = header->sequence;
  if (Answered(sequence)) {
    ++tally_.duplicated;
    return Verdict::kDuplicate;
  }
  answered_[sequence / 64] |= std::uint64_t{1} << (sequence % 64);
  ++tally_.answered;
  if (sequence + 1 < answeredBelow_) {
    ++tally_.reordered;
  } else {
    answeredBelow_ = sequence + 1;
  }
  const std::uint64_t rtt = now - header->stamp;
  rtts_.Add(rtt);
  if (rtt > longestRtt_) longestRtt_ = rtt;
  // Below base_ it had been given up on and no longer counted as in flight.
  if (sequence >= base_) {
    --inFlight_;
    DropAnsweredFront();
  }
  return Verdict::kAnswer;
}

void UdpMatcher::DropAnsweredFront() {
  while (base_ < tally_.sent && Answered(base_)) ++base_;
}

std::uint64_t UdpMatcher::GiveUpBefore(std::uint64_t cutoff) {
  std::uint64_t givenUp = 0;
  while (base_ < tally_.sent && sendTimes_[base_ & (sendTimes_.size() - 1)] < cutoff) {
    if (!Answered(base_)) {
      --inFlight_;
      ++givenUp;
    }
    ++base_;
  }
  DropAnsweredFront();
  return givenUp;
}

std::optional<std::uint64_t> UdpMatcher::OldestInFlight() const {
  if (base_ == tally_.sent) return std::nullopt;
  return sendTimes_[base_ & (sendTimes_.size() - 1)];
}

}  // namespace orvane::probe
