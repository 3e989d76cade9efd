#pragma once

#include <cstdint>

namespace orvane {

// A socket as the rest of the program sees it: an unsigned handle whose all-ones value means
// "no socket". Calls other than socket() and accept() report failure with kSocketError.
using SocketHandle = std::uint32_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
inline constexpr int kSocketError = -1;

// accept() found the pending connection already dead (reset, unreachable, ...): no client this
// time, and nothing to report. Never a real handle, and distinct from kInvalidSocket.
inline constexpr SocketHandle kNoClientAccepted = kInvalidSocket - 1;

enum class SockType { Datagram, Stream };
enum class SockOption { ReuseAddr, OobInline };

// An IPv4 peer in host byte order; address 127.0.0.1 is 0x7F000001.
struct PeerAddress {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

}  // namespace orvane
