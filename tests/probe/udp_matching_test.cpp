// Matching the answers of the udp mode to what was sent: the tally of every kind of answer,
// the window's bookkeeping and the round-trip times.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/pattern.h"
#include "probe/udp_matcher.h"

namespace orvane::probe {
namespace {

const RepeatingPattern& Pattern() {
  static const RepeatingPattern pattern = EchoPattern();
  return pattern;
}

// Datagrams sent through a matcher, the k-th at time (k + 1) * 1000 ns, kept so that they can
// be answered later, as they are or damaged.
class Exchange {
 public:
  explicit Exchange(std::size_t size) : size_(size), matcher_(size, Pattern()) {}

  void Send(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t now = (sent_.size() + 1) * 1000;
      std::vector<std::uint8_t> datagram(size_);
      FillDatagram(datagram.data(), size_, matcher_.Next(now), Pattern());
      matcher_.RecordSent(now);
      sent_.push_back(std::move(datagram));
    }
  }

  [[nodiscard]] std::vector<std::uint8_t> Copy(std::size_t sequence) const {
    return sent_.at(sequence);
  }

  UdpMatcher::Verdict Answer(const std::vector<std::uint8_t>& bytes,
                             std::uint64_t at = 10'000'000) {
    return matcher_.Match(bytes.data(), bytes.size(), at);
  }

  UdpMatcher& matcher() { return matcher_; }

 private:
  std::size_t size_;
  UdpMatcher matcher_;
  std::vector<std::vector<std::uint8_t>> sent_;
};

enum class Fault { kNone, kBody, kSequence, kOtherSequence, kStamp, kShort, kLong };

std::vector<std::uint8_t> Damaged(std::vector<std::uint8_t> bytes, Fault fault) {
  switch (fault) {
    case Fault::kNone:
      break;
    case Fault::kBody:
      bytes.back() ^= 0x01;
      break;
    case Fault::kSequence:
      bytes[5] ^= 0x10;  // a sequence number far beyond anything sent
      break;
    case Fault::kOtherSequence:
      bytes[0] ^= 0x01;  // the number of a neighbour that was sent as well
      break;
    case Fault::kStamp:
      bytes[8] ^= 0x01;
      break;
    case Fault::kShort:
      bytes.pop_back();
      break;
    case Fault::kLong:
      bytes.push_back(0);
      break;
  }
  return bytes;
}

struct Delivery {
  std::size_t sequence;
  Fault fault = Fault::kNone;
};

struct TallyCase {
  const char* name;
  std::size_t size;
  std::size_t sent;
  std::vector<Delivery> deliveries;
  UdpTally expected;
  std::uint64_t lost;
};

TEST(UdpMatching, TalliesEveryKindOfAnswer) {
  const TallyCase cases[] = {
      {"all in order", 64, 4, {{0}, {1}, {2}, {3}}, {4, 4, 0, 0, 0}, 0},
      {"one never answered", 64, 4, {{0}, {1}, {3}}, {4, 3, 0, 0, 0}, 1},
      {"nothing answered", 64, 4, {}, {4, 0, 0, 0, 0}, 4},
      {"one answered late", 64, 4, {{0}, {2}, {1}, {3}}, {4, 4, 0, 1, 0}, 0},
      {"backwards", 64, 4, {{3}, {2}, {1}, {0}}, {4, 4, 0, 3, 0}, 0},
      {"one answered twice", 64, 3, {{0}, {1}, {1}, {2}}, {3, 3, 1, 0, 0}, 0},
      {"a late copy", 64, 3, {{0}, {1}, {2}, {0}}, {3, 3, 1, 0, 0}, 0},
      {"late and twice", 64, 2, {{1}, {0}, {0}}, {2, 2, 1, 1, 0}, 0},
      // A damaged answer came back: it is corrupted, not lost, and the datagram stays
      // unanswered.
      {"body damaged", 64, 3, {{0}, {1, Fault::kBody}, {2}}, {3, 2, 0, 0, 1}, 0},
      {"body damaged, then intact", 64, 2, {{0, Fault::kBody}, {0}, {1}}, {2, 2, 0, 0, 1}, 0},
      {"too short", 64, 2, {{0, Fault::kShort}, {1}}, {2, 1, 0, 0, 1}, 0},
      {"too long", 64, 2, {{0, Fault::kLong}, {1}}, {2, 1, 0, 0, 1}, 0},
      {"sequence number never sent", 64, 2, {{0, Fault::kSequence}, {1}}, {2, 1, 0, 0, 1}, 0},
      // Without a body the header is all there is to check: the sequence number and the time
      // stamp must belong together.
      {"bare header intact", 16, 2, {{0}, {1}}, {2, 2, 0, 0, 0}, 0},
      {"bare header, number never sent", 16, 2, {{0, Fault::kSequence}}, {2, 0, 0, 0, 1}, 1},
      {"bare header, a neighbour's number",
       16,
       2,
       {{1, Fault::kOtherSequence}},
       {2, 0, 0, 0, 1},
       1},
      {"bare header, stamp changed", 16, 2, {{0, Fault::kStamp}, {1}}, {2, 1, 0, 0, 1}, 0},
      {"header with body, stamp changed", 64, 2, {{0, Fault::kStamp}}, {2, 0, 0, 0, 1}, 1},
      {"bare header too short", 16, 1, {{0, Fault::kShort}}, {1, 0, 0, 0, 1}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange(c.size);
    exchange.Send(c.sent);
    for (const auto& d : c.deliveries) exchange.Answer(Damaged(exchange.Copy(d.sequence), d.fault));
    const UdpTally& t = exchange.matcher().tally();
    EXPECT_EQ(t.sent, c.expected.sent);
    EXPECT_EQ(t.answered, c.expected.answered);
    EXPECT_EQ(t.duplicated, c.expected.duplicated);
    EXPECT_EQ(t.reordered, c.expected.reordered);
    EXPECT_EQ(t.corrupted, c.expected.corrupted);
    EXPECT_EQ(t.Lost(), c.lost);
    EXPECT_EQ(exchange.matcher().rtts().count(), t.answered);
  }
}

TEST(UdpMatching, AnswersFromAnotherSenderAreCorrupted) {
  // Same layout, but bytes no datagram of ours ever held.
  Exchange exchange(64);
  exchange.Send(1);
  EXPECT_EQ(exchange.Answer(std::vector<std::uint8_t>(64, 0)), UdpMatcher::Verdict::kCorrupted);
  EXPECT_EQ(exchange.Answer(std::vector<std::uint8_t>()), UdpMatcher::Verdict::kCorrupted);
  EXPECT_EQ(exchange.matcher().tally().answered, 0u);
}

TEST(UdpMatching, RoundTripIsAnswerTimeLessSendTime) {
  Exchange exchange(64);
  exchange.Send(2);  // sent at 1000 and 2000 ns
  exchange.Answer(exchange.Copy(0), 6000);
  exchange.Answer(exchange.Copy(1), 2500);
  const auto summary = exchange.matcher().rtts().Summary();
  ASSERT_TRUE(summary.has_value());
  EXPECT_DOUBLE_EQ(summary->min, 0.5);  // microseconds
  EXPECT_DOUBLE_EQ(summary->max, 5.0);
  EXPECT_EQ(exchange.matcher().longestRtt(), 5000u);
}

TEST(UdpMatching, GivingUpFreesThePlaceButALateAnswerStillCounts) {
  Exchange exchange(64);
  exchange.Send(3);  // at 1000, 2000, 3000
  UdpMatcher& m = exchange.matcher();
  EXPECT_EQ(m.inFlight(), 3u);
  EXPECT_EQ(m.OldestInFlight(), std::optional<std::uint64_t>(1000));

  EXPECT_EQ(m.GiveUpBefore(2500), 2u);
  EXPECT_EQ(m.inFlight(), 1u);
  EXPECT_EQ(m.OldestInFlight(), std::optional<std::uint64_t>(3000));
  EXPECT_EQ(m.GiveUpBefore(2500), 0u) << "given up twice";

  // The late answer is an answer, but it no longer frees a place.
  EXPECT_EQ(exchange.Answer(exchange.Copy(0)), UdpMatcher::Verdict::kAnswer);
  EXPECT_EQ(m.inFlight(), 1u);
  EXPECT_EQ(exchange.Answer(exchange.Copy(2)), UdpMatcher::Verdict::kAnswer);
  EXPECT_EQ(m.inFlight(), 0u);
  EXPECT_FALSE(m.OldestInFlight().has_value());
  EXPECT_EQ(exchange.Answer(exchange.Copy(1)), UdpMatcher::Verdict::kAnswer);
  EXPECT_EQ(m.inFlight(), 0u);
  EXPECT_EQ(exchange.Answer(exchange.Copy(1)), UdpMatcher::Verdict::kDuplicate);

  const UdpTally& t = m.tally();
  EXPECT_EQ(t.answered, 3u);
  EXPECT_EQ(t.reordered, 1u);
  EXPECT_EQ(t.Lost(), 0u);
}

TEST(UdpMatching, AnsweredDatagramsAreNotGivenUp) {
  Exchange exchange(64);
  exchange.Send(3);
  exchange.Answer(exchange.Copy(1));
  EXPECT_EQ(exchange.matcher().GiveUpBefore(10'000), 2u);
  EXPECT_EQ(exchange.matcher().inFlight(), 0u);
}

TEST(UdpMatching, KeepsTrackOfManyMoreThanItsFirstRecords) {
  // Thousands in flight at once, answered backwards: the records of send times and of answers
  // grow as they must and keep every one.
  constexpr std::size_t kCount = 5000;
  Exchange exchange(20);
  exchange.Send(kCount);
  for (std::size_t i = kCount; i-- > 0;) {
    ASSERT_EQ(exchange.Answer(exchange.Copy(i), 10'000'000), UdpMatcher::Verdict::kAnswer) << i;
  }
  const UdpTally& t = exchange.matcher().tally();
  EXPECT_EQ(t.answered, kCount);
  EXPECT_EQ(t.reordered, kCount - 1);
  EXPECT_EQ(t.corrupted, 0u);
  EXPECT_EQ(exchange.matcher().inFlight(), 0u);
  const auto summary = exchange.matcher().rtts().Summary();
  ASSERT_TRUE(summary.has_value());
  EXPECT_DOUBLE_EQ(summary->max, (10'000'000 - 1000) / 1e3);
  EXPECT_DOUBLE_EQ(summary->min, (10'000'000 - kCount * 1000.0) / 1e3);
}

}  // namespace
}  // namespace orvane::probe
