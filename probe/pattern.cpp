#include "probe/pattern.h"

#include <algorithm>
#include <cstring>

namespace orvane::probe {

namespace {

// The finaliser of the SplitMix64 generator: every input bit moves about half the output bits.
std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void PutLittleEndian(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t GetLittleEndian(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Where in the echo pattern the body of a datagram starts. Any such place leaves room for the
// longest body: 65535 + 65491 bytes lie well inside one period.
std::uint64_t BodyOffset(const DatagramHeader& header) {
  return Mix(header.sequence * 0x9E3779B97F4A7C15ull ^ header.stamp) % 65536;
}

}  // namespace

RepeatingPattern::RepeatingPattern(const std::vector<std::uint8_t>& period)
    : period_(period.size()) {
  bytes_.reserve(period_ + kSpan);
  while (bytes_.size() < period_ + kSpan) {
    const std::size_t take = std::min(period_, period_ + kSpan - bytes_.size());
    bytes_.insert(bytes_.end(), period.begin(), period.begin() + static_cast<std::ptrdiff_t>(take));
  }
}

RepeatingPattern ChargenBlockPattern() {
  std::vector<std::uint8_t> block(kChargenBlockSize);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(0x20 + i % 96);
  return RepeatingPattern(block);
}

RepeatingPattern EchoPattern() {
  std::vector<std::uint8_t> bytes(kEchoPatternPeriod);
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    PutLittleEndian(&bytes[i], Mix(i + 1));
  }
  return RepeatingPattern(bytes);
}

void FillDatagram(std::uint8_t* out, std::size_t size, const DatagramHeader& header,
                  const RepeatingPattern& pattern) {
  PutLittleEndian(out, header.sequence);
  PutLittleEndian(out + 8, header.stamp);
  std::memcpy(out + kDatagramHeaderSize, pattern.At(BodyOffset(header)),
              size - kDatagramHeaderSize);
}

std::optional<DatagramHeader> ReadIntactDatagram(const std::uint8_t* in, std::size_t length,
                                                 std::size_t size,
                                                 const RepeatingPattern& pattern) {
  if (length != size || length < kDatagramHeaderSize) return std::nullopt;
  const DatagramHeader header{GetLittleEndian(in), GetLittleEndian(in + 8)};
  if (std::memcmp(in + kDatagramHeaderSize, pattern.At(BodyOffset(header)),
                  size - kDatagramHeaderSize) != 0) {
    return std::nullopt;
  }
  return header;
}

}  // namespace orvane::probe
