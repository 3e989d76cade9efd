#include "probe/stream_check.h"

#include <algorithm>
#include <cstring>

namespace orvane::probe {

StreamVerifier::StreamVerifier(const RepeatingPattern& pattern, std::uint64_t phase)
    : pattern_(&pattern), state_(State::kLocked), phase_(phase % pattern.period()) {}

StreamVerifier StreamVerifier::JoiningLines(const RepeatingPattern& lines) {
  return {lines, State::kFirstLine};
}

void StreamVerifier::MarkDamagedAt(std::uint64_t offset) {
  if (!damage_) damage_ = offset;
}

bool StreamVerifier::Compare(const std::uint8_t* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const std::size_t chunk = std::min(n, RepeatingPattern::kSpan);
    const std::uint8_t* expected = pattern_->At(phase_ + offset);
    if (std::memcmp(data, expected, chunk) != 0) {
      std::size_t k = 0;
      while (data[k] == expected[k]) ++k;
      damage_ = offset + k;
      return false;
    }
    data += chunk;
    n -= chunk;
    offset += chunk;
  }
  return true;
}

bool StreamVerifier::LockOnLine(std::uint8_t c, std::uint64_t offset) {
  if (c < 0x20 || c > 0x7E) {
    damage_ = offset;
    return false;
  }
  const std::uint64_t period = pattern_->period();
  phase_ = (LinePhase(c) + period - offset % period) % period;
  state_ = State::kLocked;
  return true;
}

bool StreamVerifier::Feed(const std::uint8_t* data, std::size_t n) {
  std::uint64_t offset = received_;
  received_ += n;
  if (damage_) return false;

  while (state_ == State::kFirstLine && n > 0) {
    const std::uint8_t c = *data++;
    --n;
    firstLine_[firstLineLength_++] = c;
    if (c == '\n' && firstLineLength_ < kLineLength) {
      // The stream was joined inside a line: skip it.
      state_ = State::kLineStart;
      offset = firstLineLength_;
    } else if (firstLineLength_ == kLineLength) {
      // A line's worth has come: it must be a whole line, checked like the rest.
      if (!LockOnLine(firstLine_[0], 0) || !Compare(firstLine_.data(), kLineLength, 0)) {
        return false;
      }
      offset = kLineLength;
    }
  }
  if (state_ == State::kLineStart && n > 0 && !LockOnLine(*data, offset)) return false;
  if (state_ != State::kLocked) return true;
  return Compare(data, n, offset);
}

}  // namespace orvane::probe
