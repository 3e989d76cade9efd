#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvane::probe {

// A periodic byte sequence laid out flat: one period followed by its first kSpan bytes again,
// so that the kSpan bytes from any offset lie side by side and one memcmp checks them.
class RepeatingPattern {
 public:
  static constexpr std::size_t kSpan = 65536;

  explicit RepeatingPattern(const std::vector<std::uint8_t>& period);

  [[nodiscard]] std::size_t period() const { return period_; }
  // The sequence from stream offset `offset` on; at least kSpan bytes are readable there.
  [[nodiscard]] const std::uint8_t* At(std::uint64_t offset) const {
    return bytes_.data() + offset % period_;
  }
  // How many bytes are readable at At(offset).
  [[nodiscard]] std::size_t ReadableAt(std::uint64_t offset) const {
    return bytes_.size() - offset % period_;
  }

 private:
  std::size_t period_;
  std::vector<std::uint8_t> bytes_;
};

// Our chargen stream: the 1460-byte block of the 96 characters 0x20..0x7F, repeated
// (byte i of the block is 0x20 + i mod 96, so the block ends in '3').
inline constexpr std::size_t kChargenBlockSize = 1460;
RepeatingPattern ChargenBlockPattern();

// What the echo and udp modes send: a megabyte of pseudo-random bytes. A stream that loses,
// repeats or swaps any piece shorter than that no longer lines up with it.
inline constexpr std::size_t kEchoPatternPeriod = 1 << 20;
RepeatingPattern EchoPattern();

// A datagram of the udp mode: its sequence number and send time stamp (nanoseconds since the
// run began), both 8 bytes little-endian, then bytes of the echo pattern from a place that both
// of them choose, so that damage to the header shows as well as damage to the rest.
inline constexpr std::size_t kDatagramHeaderSize = 16;

struct DatagramHeader {
  std::uint64_t sequence;
  std::uint64_t stamp;
};

// Writes a datagram of `size` bytes (at least kDatagramHeaderSize) to out.
void FillDatagram(std::uint8_t* out, std::size_t size, const DatagramHeader& header,
                  const RepeatingPattern& pattern);
// The header of an answer that is exactly what FillDatagram wrote for a datagram of `size`
// bytes; empty if it differs in length or in any byte after the header.
std::optional<DatagramHeader> ReadIntactDatagram(const std::uint8_t* in, std::size_t length,
                                                 std::size_t size, const RepeatingPattern& pattern);

}  // namespace orvane::probe
