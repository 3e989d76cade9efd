#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "probe/pattern.h"

namespace orvane::probe {

// An RFC 864 line: 72 characters, then CR LF.
inline constexpr std::size_t kLineCharacters = 72;
inline constexpr std::size_t kLineLength = kLineCharacters + 2;

// Checks a stream byte for byte as it arrives, in pieces of any size, and remembers the stream
// offset of the first byte that differs. After that it only counts what comes.
class StreamVerifier {
 public:
  // Against a repeating pattern: the stream's byte 0 is the pattern's byte `phase`.
  StreamVerifier(const RepeatingPattern& pattern, std::uint64_t phase);

  // RFC 864 lines: 72 characters and CR LF, each character the next one round a ring of
  // printable characters, each line starting one character further round than the one before
  // (or back at the ring's bottom). The ring is learnt from the stream, at its first wrap:
  // the 95 from space to '~' that RFC 864 describes, or a part of them, as some servers send
  // (93, from '!' to '}', starting afresh every 95 lines). The stream may be joined anywhere:
  // one that starts with a whole line is checked from its first byte; one that starts inside
  // a line is checked from the first whole line, the bytes before it only counted.
  static StreamVerifier JoiningLines();

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
    kPattern,    // every byte is compared with the pattern
    kFirstLine,  // lines: collecting the stream's first line, to see whether it is whole
    kLines,      // lines: every byte is checked, from a line's start on
  };

  explicit StreamVerifier(State state) : state_(state) {}

  // Compares `n` bytes at stream offset `offset` with the pattern.
  bool ComparePattern(const std::uint8_t* data, std::size_t n, std::uint64_t offset);
  // Checks `n` bytes at stream offset `offset` as lines.
  bool CheckLines(const std::uint8_t* data, std::size_t n, std::uint64_t offset);
  // The character that follows c round the ring, as far as the ring is known.
  [[nodiscard]] std::uint8_t Next(std::uint8_t c) const {
    return ringKnown_ && c == ringHigh_ ? ringLow_ : static_cast<std::uint8_t>(c + 1);
  }

  State state_;
  std::uint64_t received_ = 0;
  std::optional<std::uint64_t> damage_;
  // kPattern
  const RepeatingPattern* pattern_ = nullptr;
  std::uint64_t phase_ = 0;  // pattern offset of stream offset 0, modulo the period
  // kFirstLine
  std::array<std::uint8_t, kLineLength> firstLine_{};
  std::size_t firstLineLength_ = 0;
  // kLines
  std::size_t column_ = 0;      // of the next byte: 0..71 characters, 72 CR, 73 LF
  bool lineSeen_ = false;       // a line start has been taken, so the next one is known
  std::uint8_t expected_ = 0;   // the next character, when column_ < 72
  std::uint8_t lineStart_ = 0;  // the first character of the current line
  // Until the ring is known: the range of the characters seen, which the ring must hold.
  std::uint8_t lowestSeen_ = 0xFF;
  std::uint8_t highestSeen_ = 0;
  bool ringKnown_ = false;
  std::uint8_t ringLow_ = 0;
  std::uint8_t ringHigh_ = 0;
};

}  // namespace orvane::probe
