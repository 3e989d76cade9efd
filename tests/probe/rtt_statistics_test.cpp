#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "probe/rtt_histogram.h"

namespace orvane::probe {
namespace {

// The q-quantile by nearest rank, worked out from all the samples.
double NearestRank(std::vector<std::uint64_t> samples, double q) {
  std::sort(samples.begin(), samples.end());
  const auto rank = std::max<std::size_t>(
      1, static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size()))));
  return static_cast<double>(samples[rank - 1]);
}

TEST(RttStatistics, NothingToSummariseWithoutSamples) {
  EXPECT_FALSE(RttHistogram().Summary().has_value());
}

TEST(RttStatistics, ShortTimesAreExactByNearestRank) {
  RttHistogram h;
  for (std::uint64_t ns = 100; ns >= 1; --ns) h.Add(ns);  // any order
  const auto s = h.Summary();
  ASSERT_TRUE(s.has_value());
  EXPECT_DOUBLE_EQ(s->min, 0.001);
  EXPECT_DOUBLE_EQ(s->median, 0.050);
  EXPECT_DOUBLE_EQ(s->p90, 0.090);
  EXPECT_DOUBLE_EQ(s->p99, 0.099);
  EXPECT_DOUBLE_EQ(s->max, 0.100);
  EXPECT_EQ(h.count(), 100u);
}

TEST(RttStatistics, OneSampleIsEveryFigure) {
  RttHistogram h;
  h.Add(123'456'789);
  const auto s = h.Summary();
  ASSERT_TRUE(s.has_value());
  for (const double v : {s->min, s->median, s->p90, s->p99, s->max}) {
    EXPECT_DOUBLE_EQ(v, 123'456.789);
  }
}

TEST(RttStatistics, LongTimesWithinAQuarterPercent) {
  // Round trips from 700 ns to over a minute, spread unevenly, with one far outlier.
  std::vector<std::uint64_t> samples;
  std::uint64_t x = 88172645463325252ull;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const double exponent = static_cast<double>(x % 1000) / 1000.0 * 11;  // 10^0 .. 10^11
    samples.push_back(700 + static_cast<std::uint64_t>(std::pow(10.0, exponent) * 0.7));
  }
  samples.push_back(3'600'000'000'000ull);  // an hour
  RttHistogram h;
  for (const auto s : samples) h.Add(s);
  for (const double q : {0.01, 0.25, 0.5, 0.9, 0.99, 0.999}) {
    const double exact = NearestRank(samples, q);
    EXPECT_NEAR(h.Quantile(q), exact, exact / 400) << "q " << q;
  }
  EXPECT_DOUBLE_EQ(h.Quantile(1.0), 3'600'000'000'000.0);
}

TEST(RttStatistics, QuantilesStayWithinTheSamples) {
  // Two close samples in one wide bucket: the middle of the bucket lies outside both.
  RttHistogram h;
  h.Add(1'000'000'000);
  h.Add(1'000'000'001);
  EXPECT_GE(h.Quantile(0.5), 1'000'000'000.0);
  EXPECT_LE(h.Quantile(0.99), 1'000'000'001.0);
  EXPECT_GE(h.Quantile(0.0), 1'000'000'000.0);
}

TEST(RttStatistics, TheLargestTimesHaveABucket) {
  RttHistogram h;
  h.Add(UINT64_MAX);
  h.Add(0);
  EXPECT_EQ(h.Quantile(0.5), 0.0);
  EXPECT_EQ(h.Quantile(1.0), static_cast<double>(UINT64_MAX));
}

}  // namespace
}  // namespace orvane::probe
