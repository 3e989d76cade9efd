#include "probe/rtt_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace orvane::probe {

namespace {

constexpr int kExactBits = 9;
constexpr std::uint64_t kExact = 1u << kExactBits;  // 512 values kept exactly
constexpr std::uint64_t kPerOctave = kExact / 2;    // 256 buckets for each doubling above
// 512 exact buckets, then one octave for each bit a 64-bit value can have beyond 9.
constexpr std::size_t kBuckets = kExact + (64 - kExactBits) * kPerOctave;

}  // namespace

RttHistogram::RttHistogram() : buckets_(kBuckets, 0) {}

std::size_t RttHistogram::BucketOf(std::uint64_t value) {
  if (value < kExact) return static_cast<std::size_t>(value);
  // The top 9 bits of the value choose the bucket within its octave.
  const int shift = std::bit_width(value) - kExactBits;
  const std::uint64_t top = value >> shift;  // in [256, 512)
  return static_cast<std::size_t>(kExact + static_cast<std::uint64_t>(shift - 1) * kPerOctave +
                                  (top - kPerOctave));
}

std::uint64_t RttHistogram::BucketLow(std::size_t bucket) {
  if (bucket < kExact) return bucket;
  const std::size_t above = bucket - kExact;
  const int shift = static_cast<int>(above / kPerOctave) + 1;
  return (kPerOctave + above % kPerOctave) << shift;
}

std::uint64_t RttHistogram::BucketWidth(std::size_t bucket) {
  if (bucket < kExact) return 1;
  return std::uint64_t{1} << ((bucket - kExact) / kPerOctave + 1);
}

void RttHistogram::Add(std::uint64_t nanoseconds) {
  ++buckets_[BucketOf(nanoseconds)];
  if (count_ == 0 || nanoseconds < min_) min_ = nanoseconds;
  if (count_ == 0 || nanoseconds > max_) max_ = nanoseconds;
  ++count_;
}

double RttHistogram::Quantile(double q) const {
  const auto rank = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
  // The ends are known exactly.
  if (rank == 1) return static_cast<double>(min_);
  if (rank >= count_) return static_cast<double>(max_);
  std::uint64_t seen = 0;
  std::size_t bucket = 0;
  for (; bucket < buckets_.size(); ++bucket) {
    seen += buckets_[bucket];
    if (seen >= rank) break;
  }
  const double middle =
      static_cast<double>(BucketLow(bucket)) + static_cast<double>(BucketWidth(bucket) - 1) / 2;
  return std::clamp(middle, static_cast<double>(min_), static_cast<double>(max_));
}

std::optional<RttSummary> RttHistogram::Summary() const {
  if (count_ == 0) return std::nullopt;
  return RttSummary{static_cast<double>(min_) / 1e3, Quantile(0.5) / 1e3, Quantile(0.9) / 1e3,
                    Quantile(0.99) / 1e3, static_cast<double>(max_) / 1e3};
}

}  // namespace orvane::probe
