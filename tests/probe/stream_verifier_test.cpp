// The stream checks of the echo and chargen modes, against streams built here independently of
// the probe's own patterns: intact ones in pieces of every size, joined at any point, and
// damaged ones, with the offset where each is first wrong.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "probe/pattern.h"
#include "probe/stream_check.h"

namespace orvane::probe {
namespace {

// Our chargen stream from `from` on: byte i is 0x20 + (i mod 1460) mod 96.
std::string BlockStream(std::size_t from, std::size_t length) {
  std::string s;
  for (std::size_t i = from; i < from + length; ++i) {
    s += static_cast<char>(0x20 + (i % 1460) % 96);
  }
  return s;
}

// RFC 864 lines from line `line`, `skip` bytes into it: line k is the 72 characters from
// character k mod 95 of the ring [low, high] on, wrapping round, then CR LF. RFC 864 has the
// 95 printable characters from space on; some servers leave out space and '~' and still
// start afresh every 95 lines.
std::string LinesStream(std::size_t line, std::size_t skip, std::size_t length, char low = ' ',
                        char high = '~') {
  const std::size_t ring = static_cast<std::size_t>(high - low + 1);
  std::string s;
  for (std::size_t k = line; s.size() < skip + length; ++k) {
    for (std::size_t j = 0; j < 72; ++j) s += static_cast<char>(low + (k % 95 + j) % ring);
    s += "\r\n";
  }
  return s.substr(skip, length);
}

std::string Replaced(std::string s, std::size_t at, char c) {
  s[at] = c;
  return s;
}

std::string EchoStream(std::uint64_t phase, std::size_t length) {
  static const RepeatingPattern pattern = EchoPattern();
  std::string s;
  while (s.size() < length) {
    const std::size_t take = std::min<std::size_t>(length - s.size(), RepeatingPattern::kSpan);
    s.append(reinterpret_cast<const char*>(pattern.At(phase + s.size())), take);
  }
  return s;
}

std::string Changed(std::string s, std::size_t at) {
  s[at] = static_cast<char>(s[at] ^ 0x01);
  return s;
}

std::string Without(std::string s, std::size_t at) {
  return s.erase(at, 1);
}

std::string With(std::string s, std::size_t at, char c) {
  return s.insert(at, 1, c);
}

std::optional<std::uint64_t> FirstDifference(const std::string& a, const std::string& b) {
  const auto [pa, pb] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (pa == a.end()) return std::nullopt;
  return static_cast<std::uint64_t>(pa - a.begin());
}

enum class Check { kBlock, kLines, kEcho };

struct Case {
  const char* name;
  Check check;
  std::string stream;
  std::optional<std::uint64_t> damage;
  std::vector<std::size_t> pieces = {65536};  // fed in pieces of these sizes, round and round
};

StreamVerifier MakeVerifier(Check check) {
  static const RepeatingPattern block = ChargenBlockPattern();
  static const RepeatingPattern echo = EchoPattern();
  switch (check) {
    case Check::kBlock:
      return {block, 0};
    case Check::kLines:
      return StreamVerifier::JoiningLines();
    default:
      return {echo, 0};
  }
}

TEST(StreamVerifier, FindsTheFirstWrongByte) {
  const std::string echo = EchoStream(0, 300'000);
  std::string swapped = echo;
  std::swap_ranges(swapped.begin() + 1000, swapped.begin() + 2000, swapped.begin() + 2000);
  const Case cases[] = {
      // Our block.
      {"block intact", Check::kBlock, BlockStream(0, 200'000), std::nullopt},
      {"block in odd pieces",
       Check::kBlock,
       BlockStream(0, 200'000),
       std::nullopt,
       {1, 7, 1459, 65536, 3, 100'000}},
      {"block byte changed", Check::kBlock, Changed(BlockStream(0, 20'000), 5000), 5000},
      {"block byte changed in a one-byte piece",
       Check::kBlock,
       Changed(BlockStream(0, 5000), 4321),
       4321,
       {1}},
      {"block last byte changed", Check::kBlock, Changed(BlockStream(0, 100'000), 99'999), 99'999},
      {"block byte missing", Check::kBlock, Without(BlockStream(0, 20'000), 3000), 3000},
      {"block byte added at a block's start", Check::kBlock,
       With(BlockStream(0, 20'000), 1460, 'A'), 1460},
      {"block one byte late", Check::kBlock, BlockStream(1, 5000), 0},
      {"block, the 96 characters again inside the block", Check::kBlock, BlockStream(96, 5000),
       1460 - 96},
      {"block is not lines", Check::kBlock, LinesStream(0, 0, 5000), 72},
      // RFC 864 lines, joined anywhere.
      {"lines from line 0", Check::kLines, LinesStream(0, 0, 3 * 7030), std::nullopt},
      {"lines from line 94, wrapping", Check::kLines, LinesStream(94, 0, 20'000), std::nullopt},
      {"lines joined inside a line", Check::kLines, LinesStream(5, 30, 20'000), std::nullopt},
      {"lines joined at the CR", Check::kLines, LinesStream(5, 72, 20'000), std::nullopt},
      {"lines joined at the LF", Check::kLines, LinesStream(5, 73, 20'000), std::nullopt},
      {"lines joined inside a line, byte by byte",
       Check::kLines,
       LinesStream(40, 11, 1000),
       std::nullopt,
       {1}},
      {"lines in odd pieces",
       Check::kLines,
       LinesStream(3, 50, 50'000),
       std::nullopt,
       {73, 1, 74, 2, 7030}},
      {"lines byte changed", Check::kLines, Changed(LinesStream(0, 0, 20'000), 10'000), 10'000},
      {"lines byte changed in a full first line", Check::kLines,
       Changed(LinesStream(7, 0, 1000), 10), 10},
      {"lines CR missing", Check::kLines, Without(LinesStream(0, 0, 1000), 72 + 74), 72 + 74},
      // Joined inside a line, the first full line is the second one; its end shows the fault.
      {"lines ending in LF alone", Check::kLines,
       Without(Without(LinesStream(0, 0, 1000), 146), 72), 73 + 72},
      {"lines are not the block", Check::kLines, BlockStream(0, 1000), 72},
      // Servers that leave space and '~' out of the ring.
      {"93-character ring from its start", Check::kLines, LinesStream(0, 0, 3 * 95 * 74, '!', '}'),
       std::nullopt},
      {"93-character ring joined inside a line",
       Check::kLines,
       LinesStream(50, 33, 20'000, '!', '}'),
       std::nullopt,
       {1, 74, 7}},
      {"93-character ring, byte changed after its wrap", Check::kLines,
       Changed(LinesStream(0, 0, 20'000, '!', '}'), 15'000), 15'000},
      // Once the ring is known, it stays: a wrap elsewhere is damage.
      {"ring changes its top", Check::kLines,
       LinesStream(0, 0, 30 * 74, '!', '}') + LinesStream(30, 0, 5 * 74, '!', '~'),
       30 * 74 + ('}' - '?') + 1},
      {"a line that starts where the one before did", Check::kLines,
       LinesStream(0, 0, 30 * 74) + LinesStream(29, 0, 74), 30 * 74},
      {"a line that starts back at the ring's bottom", Check::kLines,
       LinesStream(0, 0, 30 * 74) + LinesStream(0, 0, 74), std::nullopt},
      {"93-character ring starting afresh, joined before its wrap", Check::kLines,
       LinesStream(93, 0, 200 * 74, '!', '}'), std::nullopt},
      {"a line of 71 characters", Check::kLines, Without(LinesStream(0, 0, 500), 74 + 70), 74 + 70},
      // A step down that cannot be the wrap: the ring would not hold what came before.
      {"a character too low", Check::kLines, Replaced(LinesStream(0, 0, 3000), 100, ' '), 100},
      {"a character a little low", Check::kLines, Replaced(LinesStream(0, 0, 3000), 100, '1'), 100},
      {"lines, a control character where a line starts", Check::kLines,
       "abc\r\n\x01" + LinesStream(0, 0, 100), 5},
      // The echo pattern.
      {"echo intact", Check::kEcho, echo, std::nullopt, {65536, 1, 100'000, 17}},
      {"echo byte changed", Check::kEcho, Changed(echo, 123'456), 123'456},
      {"echo pieces swapped", Check::kEcho, swapped, FirstDifference(echo, swapped)},
      {"echo from another place", Check::kEcho, EchoStream(104'729, 1000),
       FirstDifference(echo.substr(0, 1000), EchoStream(104'729, 1000))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StreamVerifier v = MakeVerifier(c.check);
    std::size_t fed = 0;
    bool lastResult = true;
    for (std::size_t piece = 0; fed < c.stream.size(); ++piece) {
      const std::size_t n = std::min(c.pieces[piece % c.pieces.size()], c.stream.size() - fed);
      lastResult = v.Feed(reinterpret_cast<const std::uint8_t*>(c.stream.data()) + fed, n);
      fed += n;
    }
    EXPECT_EQ(v.firstDamage(), c.damage);
    EXPECT_EQ(v.intact(), !c.damage.has_value());
    EXPECT_EQ(lastResult, !c.damage.has_value());
    EXPECT_EQ(v.received(), c.stream.size());
  }
}

TEST(StreamVerifier, DamageTheBytesDoNotShowIsKeptFirstComeFirst) {
  StreamVerifier v = MakeVerifier(Check::kEcho);
  const std::string echo = EchoStream(0, 100);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(echo.data());
  EXPECT_TRUE(v.Feed(bytes, 60));
  v.MarkDamagedAt(60);  // say, an echo longer than what was sent
  v.MarkDamagedAt(10);
  EXPECT_EQ(v.firstDamage(), std::optional<std::uint64_t>(60));
  EXPECT_FALSE(v.Feed(bytes + 60, 40)) << "intact bytes after the damage";
  EXPECT_EQ(v.received(), 100u);
}

TEST(ChargenPatterns, TheBlockHoldsWhatOurServerSends) {
  const RepeatingPattern block = ChargenBlockPattern();
  EXPECT_EQ(block.period(), 1460u);
  EXPECT_EQ(*block.At(0), ' ');
  EXPECT_EQ(*block.At(95), 0x7F) << "DEL is in the cycle";
  EXPECT_EQ(*block.At(96), ' ');
  EXPECT_EQ(*block.At(1459), '3') << "the block ends in '3'";
  EXPECT_EQ(*block.At(1460), ' ') << "the next block starts again with a space";

  // Any 64 KiB from any place are readable in one piece.
  EXPECT_GE(block.ReadableAt(block.period() - 1), RepeatingPattern::kSpan);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.At(1459)), 2), "3 ");
}

}  // namespace
}  // namespace orvane::probe
