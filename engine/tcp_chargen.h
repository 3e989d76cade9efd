#pragma once

#include <cstdint>

#include "engine/service_state.h"

namespace orvane {

// Estimated bytes on the wire for one chargen block: 1460 data + 14 Ethernet + 20 IPv4 + 20 TCP.
inline constexpr std::uint32_t kTCPHeaderBytes = 54;
inline constexpr std::uint32_t kTCPChargenBlockWireBytes = kTCPChargenBlockSize + kTCPHeaderBytes;

// The printable cycle: the 96 codes from space (0x20) to DEL (0x7F) inclusive.
inline constexpr char kChargenFirstChar = 0x20;
inline constexpr int kChargenCycleLength = 96;

// Fills the chargen block once: byte k is 0x20 + (k mod 96).
void FillChargenPattern(ServiceState& state);

// Sends the block to every writable chargen client, reads and discards what readable ones
// send, and removes clients that closed, failed or could not take a whole block.
void ServeTCPChargenClients(ServiceState& state);

}  // namespace orvane
