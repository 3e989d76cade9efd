#pragma once

#include <cstdint>

#include "engine/service_state.h"
#include "platform/socket_types.h"

namespace orvane {

// Estimated bytes on the wire around each echoed datagram: 14 Ethernet + 20 IPv4 + 8 UDP.
inline constexpr std::uint32_t kUDPHeaderBytes = 42;
// Datagrams from the ports of system services are never answered.
inline constexpr std::uint16_t kLowestAnsweredPort = 1024;

// Whether a datagram from this sender may be answered. Refused: system-service ports, network
// and broadcast addresses (last octet 0 or 255), and the echo port itself, which would let
// one forged datagram set two echo servers, or this one and itself, answering each other
// for ever.
bool IsAnswerableSender(const PeerAddress& sender, std::uint16_t udpechoport);

// Receives one datagram and, if it is not empty and its sender is answerable, counts it and
// sends it back unchanged. Never throws; a failed receive or send is simply no echo.
void ServeUDPEcho(ServiceState& state);

}  // namespace orvane
