#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "probe/pattern.h"

namespace orvane::probe {

// Checks a stream byte for byte against a repeating pattern as it arrives, in pieces of any
// size, and remembers the stream offset of the first byte that differs. After that it only
// counts what comes.
class StreamVerifier {
 public:
  // The stream's byte 0 is expected to be the pattern's byte `phase`.
  StreamVerifier(const RepeatingPattern& pattern, std::uint64_t phase);

  // RFC 864 lines, joined at any point: a stream that starts with a full line is checked from
  // its first byte; one that starts inside a line is checked from the first full line, the
  // bytes up to it only counted. 74 bytes without a line end are damage.
  static StreamVerifier JoiningLines(const RepeatingPattern& lines);

  // Takes the next n bytes; false once any byte has differed, in this piece or before.
  bool Feed(const std::uint8_t* data, std::size_t n);
  // Records damage at `offset` that the bytes themselves do not show, such as an echo that
  // returns more than was sent. Only the first damage is kept.
  void MarkDamagedAt(std::uint64_t offset);

  [[nodiscard]] std::uint64_t received() const { return received_; }
  [[nodiscard]] bool intact() const { return !damage_.has_value(); }
  [[nodiscard]] std::optional<std::uint64_t> firstDamage() const { return damage_; }

 private:
  enum class State {
    kLocked,     // every byte is compared
    kFirstLine,  // collecting the stream's first line, to see whether it is whole
    kLineStart,  // a partial first line was skipped; the next byte starts a line
  };

  StreamVerifier(const RepeatingPattern& pattern, State state)
      : pattern_(&pattern), state_(state) {}

  // Compares `n` bytes that sit at stream offset `offset` (the state is kLocked).
  bool Compare(const std::uint8_t* data, std::size_t n, std::uint64_t offset);
  // Locks on: the line starting at stream offset `offset` starts with character c.
  bool LockOnLine(std::uint8_t c, std::uint64_t offset);

  const RepeatingPattern* pattern_;
  State state_;
  std::uint64_t phase_ = 0;  // pattern offset of stream offset 0, modulo the period
  std::uint64_t received_ = 0;
  std::optional<std::uint64_t> damage_;
  std::array<std::uint8_t, kLineLength> firstLine_{};
  std::size_t firstLineLength_ = 0;
};

}  // namespace orvane::probe
