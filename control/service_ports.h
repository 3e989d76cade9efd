#pragma once

#include <cstdint>

namespace orvane {

// The two ports as parsed from the command line. Only the low 16 bits of each are used.
struct ServicePorts {
  std::int32_t echoport = 7;      // UDP echo and TCP echo
  std::int32_t chargenport = 19;  // TCP chargen
};

// The port number that a parsed value stands for.
inline std::uint16_t PortOf(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

}  // namespace orvane
