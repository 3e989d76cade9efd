#pragma once

#include <array>
#include <cstdint>

#include "platform/socket_types.h"

namespace orvane {

// Capacity of one readiness set; the services are built around exactly this many.
inline constexpr std::uint32_t kReadinessSetCapacity = 64;

// An ordered list of sockets handed to select(). After select() it holds exactly the sockets
// that are ready, still in insertion order.
struct ReadinessSet {
  std::uint32_t count = 0;
  std::array<SocketHandle, kReadinessSetCapacity> sockets{};

  void Clear() { count = 0; }

  // A full set silently drops the socket; there is no check for duplicates.
  void Add(SocketHandle s) {
    if (count < kReadinessSetCapacity) sockets[count++] = s;
  }

  // The services ask about their clients in table order, which is the order of the set, so
  // the search starts where the last one succeeded: a pass over all clients costs one step
  // per client instead of one scan of the set per client.
  [[nodiscard]] bool Contains(SocketHandle s) const {
    for (std::uint32_t i = nextLookup_; i < count; ++i) {
      if (sockets[i] == s) return Found(i);
    }
    for (std::uint32_t i = 0; i < nextLookup_ && i < count; ++i) {
      if (sockets[i] == s) return Found(i);
    }
    return false;
  }

  // Keeps, in order, the entries for which ready(index) is true; returns how many remain.
  template <typename Ready>
  std::uint32_t KeepReady(Ready ready) {
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (ready(i)) sockets[kept++] = sockets[i];
    }
    count = kept;
    return kept;
  }

 private:
  bool Found(std::uint32_t i) const {
    nextLookup_ = i + 1;
    return true;
  }

  mutable std::uint32_t nextLookup_ = 0;
};

}  // namespace orvane
