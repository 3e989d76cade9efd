#include "probe/stream_check.h"

#include <algorithm>
#include <cstring>

namespace orvane::probe {

namespace {

// Every byte value at its own index: a run of ascending characters from c is kAscending + c,
// so that one memcmp checks a line up to the ring's next wrap.
constexpr std::array<std::uint8_t, 256> kAscending = [] {
  std::array<std::uint8_t, 256> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}();

constexpr std::uint8_t kFirstPrintable = 0x20;
constexpr std::uint8_t kLastPrintable = 0x7E;

bool Printable(std::uint8_t c) {
  return c >= kFirstPrintable && c <= kLastPrintable;
}

// How many of the n bytes equal `expected` before the first that does not.
std::size_t MatchingPrefix(const std::uint8_t* data, const std::uint8_t* expected, std::size_t n) {
  if (std::memcmp(data, expected, n) == 0) return n;
  std::size_t k = 0;
  while (data[k] == expected[k]) ++k;
  return k;
}

}  // namespace

StreamVerifier::StreamVerifier(const RepeatingPattern& pattern, std::uint64_t phase)
    : state_(State::kPattern), pattern_(&pattern), phase_(phase % pattern.period()) {}

StreamVerifier StreamVerifier::JoiningLines() {
  return StreamVerifier(State::kFirstLine);
}

void StreamVerifier::MarkDamagedAt(std::uint64_t offset) {
  if (!damage_) damage_ = offset;
}

bool StreamVerifier::ComparePattern(const std::uint8_t* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const std::size_t chunk = std::min(n, RepeatingPattern::kSpan);
    const std::size_t k = MatchingPrefix(data, pattern_->At(phase_ + offset), chunk);
    if (k < chunk) {
      damage_ = offset + k;
      return false;
    }
    data += chunk;
    n -= chunk;
    offset += chunk;
  }
  return true;
}

bool StreamVerifier::CheckLines(const std::uint8_t* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    if (column_ >= kLineCharacters) {
      if (*data != (column_ == kLineCharacters ? '\r' : '\n')) {
        damage_ = offset;
        return false;
      }
      if (++column_ == kLineLength) column_ = 0;
      ++data;
      --n;
      ++offset;
      continue;
    }
    if (column_ == 0) {
      // A line starts one character further round the ring than the one before, or back at
      // the ring's bottom: some servers start their cycle of lines afresh after 95 lines
      // whatever the size of their ring. The first line checked may start anywhere.
      const std::uint8_t c = *data;
      const bool next = lineSeen_ && c == Next(lineStart_);
      const bool restart = lineSeen_ && (ringKnown_ ? c == ringLow_ : c <= lowestSeen_);
      if (!Printable(c) || (lineSeen_ && !next && !restart)) {
        damage_ = offset;
        return false;
      }
      lineSeen_ = true;
      lineStart_ = c;
      expected_ = c;
    }
    // Up to the end of the line, the end of the data or the top of the ring, whichever comes
    // first, the characters ascend one by one.
    const std::uint8_t top = ringKnown_ ? ringHigh_ : kLastPrintable;
    const std::size_t run =
        expected_ > top
            ? 0
            : std::min({n, kLineCharacters - column_, std::size_t{top} - expected_ + 1});
    const std::size_t k = MatchingPrefix(data, kAscending.data() + expected_, run);
    if (k > 0 && !ringKnown_) {
      lowestSeen_ = std::min(lowestSeen_, expected_);
      highestSeen_ = std::max(highestSeen_, static_cast<std::uint8_t>(expected_ + k - 1));
    }
    data += k;
    n -= k;
    offset += k;
    column_ += k;
    expected_ = static_cast<std::uint8_t>(expected_ + k);
    if (k == run) {
      if (ringKnown_ && expected_ == ringHigh_ + 1) expected_ = ringLow_;
      if (expected_ <= top || n == 0 || column_ == kLineCharacters) continue;
    }
    // A character inside a line that does not ascend: the first such step down is the ring's
    // wrap, which tells its top (the character before) and its bottom (this one), as long as
    // the ring then holds every character seen so far; any other is damage.
    if (!ringKnown_ && Printable(*data) && *data <= lowestSeen_ && expected_ - 1 >= highestSeen_) {
      ringKnown_ = true;
      ringHigh_ = static_cast<std::uint8_t>(expected_ - 1);
      ringLow_ = *data;
      expected_ = ringLow_;
      continue;
    }
    damage_ = offset;
    return false;
  }
  return true;
}

bool StreamVerifier::Feed(const std::uint8_t* data, std::size_t n) {
  const std::uint64_t offset = received_;
  received_ += n;
  if (damage_) return false;
  if (n == 0) return true;
  if (state_ == State::kPattern) return ComparePattern(data, n, offset);
  if (state_ == State::kLines) return CheckLines(data, n, offset);

  // kFirstLine: up to the first line end, or a line's worth of bytes.
  std::size_t taken = 0;
  while (taken < n && firstLineLength_ < kLineLength) {
    const std::uint8_t c = data[taken++];
    firstLine_[firstLineLength_++] = c;
    if (c == '\n') break;
  }
  if (firstLine_[firstLineLength_ - 1] != '\n' && firstLineLength_ < kLineLength) return true;
  state_ = State::kLines;
  if (firstLineLength_ == kLineLength) {
    // A line's worth has come: it must be a whole line, checked like the rest.
    if (!CheckLines(firstLine_.data(), kLineLength, 0)) return false;
  }
  // Otherwise the stream was joined inside a line, which is skipped.
  return CheckLines(data + taken, n - taken, offset + taken);
}

}  // namespace orvane::probe
