#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvane::probe {

struct RttSummary {
  double min;  // microseconds
  double median;
  double p90;
  double p99;
  double max;
};

// Round-trip times in nanoseconds, counted in buckets whose width grows with the value: times
// below 512 ns are kept exactly, longer ones to within 1/256 of themselves. Its size stays the
// same however long the run, and each sample costs a few instructions.
class RttHistogram {
 public:
  RttHistogram();

  void Add(std::uint64_t nanoseconds);
  [[nodiscard]] std::uint64_t count() const { return count_; }

  // The q-quantile by nearest rank (the sample of rank ceil(q * count)), as the middle of its
  // bucket but never outside [min, max], and exactly min or max at the ends; in nanoseconds.
  // The histogram must not be empty.
  [[nodiscard]] double Quantile(double q) const;
  // Min, median, 90th and 99th percentile and max in microseconds; empty without samples.
  [[nodiscard]] std::optional<RttSummary> Summary() const;

 private:
  static std::size_t BucketOf(std::uint64_t value);
  static std::uint64_t BucketLow(std::size_t bucket);
  static std::uint64_t BucketWidth(std::size_t bucket);

  std::vector<std::uint64_t> buckets_;
  std::uint64_t count_ = 0;
  std::uint64_t min_ = 0;
  std::uint64_t max_ = 0;
};

}  // namespace orvane::probe
