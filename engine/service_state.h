#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "engine/client_table.h"
#include "engine/readiness_set.h"
#include "platform/platform.h"
#include "platform/socket_types.h"

namespace orvane {

// Buffer sizes of the services.
inline constexpr int kUDPEchoBufferSize = 1500;       // the largest datagram that is echoed
inline constexpr int kTCPChargenBlockSize = 1460;     // one chargen block, one full TCP segment
inline constexpr int kTCPChargenInBufferSize = 1000;  // chargen input, read and thrown away
inline constexpr int kTCPEchoBufferSize = 1460;       // one echo receive

// The whole state of a run. main owns exactly one; the loop and the services work on it.
struct ServiceState {
  ServiceState(Platform& platform_, std::FILE* out_) : platform(platform_), out(out_) {}

  Platform& platform;
  std::FILE* out;  // header and status lines

  // Label of the socket call being made, for the failure report.
  const char* pszSockCall = "";

  // Service sockets.
  SocketHandle sockUDPEcho = kInvalidSocket;
  SocketHandle sockTCPChargenListen = kInvalidSocket;
  SocketHandle sockTCPEchoListen = kInvalidSocket;
  std::uint16_t udpechoport = 0;  // the UDP echo port, host byte order

  // Connected clients.
  ClientTable sockTCPChargenClients;
  ClientTable sockTCPEchoClients;
  [[nodiscard]] std::uint32_t nTCPChargenClients() const { return sockTCPChargenClients.count; }
  [[nodiscard]] std::uint32_t nTCPEchoClients() const { return sockTCPEchoClients.count; }

  // Readiness sets, rebuilt in every iteration.
  ReadinessSet fdsRead;
  ReadinessSet fdsWrite;
  ReadinessSet fdsExcept;

  // Traffic since the last status line; the byte counts are estimated bytes on the wire.
  std::uint32_t nUDPEchoPackets = 0;
  std::uint32_t nUDPEchoBytes = 0;
  std::uint32_t nTCPChargenBytes = 0;
  std::uint32_t nTCPEchoBytes = 0;

  // Second at which the header or the last status line was printed.
  std::int64_t tLastStatus = 0;

  std::array<char, kUDPEchoBufferSize> bufUDPEcho{};
  std::array<char, kTCPChargenBlockSize> bufTCPChargenOut{};
  std::array<char, kTCPChargenInBufferSize> bufTCPChargenIn{};
  std::array<char, kTCPEchoBufferSize> bufTCPEcho{};
};

// Closes the client in slot i of the table and moves the last client into that slot; the
// caller examines slot i again.
void RemoveClient(ServiceState& state, ClientTable& table, std::uint32_t i);

// One pass over a client table in order of service. A client with an exceptional condition is
// removed; every other one goes to serve(s), which returns false when the client must go.
// After a removal the same slot is examined again, since the last client has moved into it.
template <typename Serve>
void ServeClientTable(ServiceState& state, ClientTable& clients, Serve serve) {
  std::uint32_t i = 0;
  while (i < clients.count) {
    const SocketHandle s = clients.sockets[i];
    if (state.fdsExcept.Contains(s) || !serve(s)) {
      RemoveClient(state, clients, i);
    } else {
      ++i;
    }
  }
}

}  // namespace orvane
