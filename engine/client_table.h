#pragma once

#include <array>
#include <cstdint>

#include "platform/socket_types.h"

namespace orvane {

inline constexpr std::uint32_t kMaxClients = 64;

// Connected clients of one service. The first `count` slots are in use, in order of service.
// Plain handles: removal copies the last one into the freed slot, and nothing closes them on
// destruction.
struct ClientTable {
  std::array<SocketHandle, kMaxClients> sockets{};
  std::uint32_t count = 0;

  [[nodiscard]] bool Full() const { return count >= kMaxClients; }

  void Append(SocketHandle s) {
    if (!Full()) sockets[count++] = s;
  }

  // Forgets slot i by moving the last client into it; the caller closes the socket and then
  // examines slot i again, since it now holds the moved client (or nothing).
  void Forget(std::uint32_t i) {
    sockets[i] = sockets[count - 1];
    --count;
  }
};

}  // namespace orvane
