#include "engine/readiness_set.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(ReadinessSet, MembershipHoldsWhateverOrderItIsAskedIn) {
  ReadinessSet set;
  for (SocketHandle s : {10u, 11u, 12u, 13u, 14u}) set.Add(s);
  const struct {
    SocketHandle s;
    bool member;
  } questions[] = {{10, true}, {11, true}, {14, true}, {10, true}, {13, true}, {13, true},
                   {12, true}, {99, false}, {11, true}, {9, false},  {14, true}};
  for (const auto& q : questions) EXPECT_EQ(set.Contains(q.s), q.member) << q.s;

  // Shrinking after a lookup far down the set must not hide the entries that remain.
  set.KeepReady([](std::uint32_t i) { return i < 2; });
  EXPECT_TRUE(set.Contains(10));
  EXPECT_TRUE(set.Contains(11));
  EXPECT_FALSE(set.Contains(14));
  set.Clear();
  EXPECT_FALSE(set.Contains(10));
}

TEST(ReadinessSet, FullSetDropsFurtherSockets) {
  ReadinessSet set;
  for (SocketHandle s = 0; s < kReadinessSetCapacity + 5; ++s) set.Add(s);
  EXPECT_EQ(set.count, kReadinessSetCapacity);
  EXPECT_TRUE(set.Contains(kReadinessSetCapacity - 1));
  EXPECT_FALSE(set.Contains(kReadinessSetCapacity));
}

}  // namespace
}  // namespace orvane
