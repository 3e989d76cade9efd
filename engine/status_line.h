#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

inline constexpr char kStatusHeader[] =
    "UDP Echo     TCP Chargen  TCP Echo\n"
    "pps, kbps    conns, kbps  conns, kbps\n"
    "-----------  -----------  -----------\n";

struct StatusFigures {
  std::uint32_t udpPackets;
  std::uint32_t udpBytes;
  std::uint32_t chargenClients;
  std::uint32_t chargenBytes;
  std::uint32_t echoClients;
  std::uint32_t echoBytes;
};

// Room for the longest possible status line (every figure at its 32-bit maximum) and its NUL.
inline constexpr std::size_t kStatusLineCapacity = 96;

// Writes the status line for one interval into buf, ending in a carriage return so that the
// next one overwrites it. Byte counts become kilobits: shifting right by 7 divides by 128, so
// bytes turn into units of 1024 bits. Returns the length written.
std::size_t FormatStatusLine(const StatusFigures& figures, char* buf, std::size_t size);

}  // namespace orvane
