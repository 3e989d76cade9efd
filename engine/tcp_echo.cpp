#include "engine/tcp_echo.h"

#include "engine/tcp_chargen.h"

namespace orvane {

void ServeTCPEchoClients(ServiceState& state) {
  Platform& os = state.platform;
  ClientTable& clients = state.sockTCPEchoClients;
  std::uint32_t i = 0;
  while (i < clients.count) {
    const SocketHandle s = clients.sockets[i];
    if (state.fdsExcept.Contains(s)) {
      RemoveClient(state, clients, i);
      continue;
    }
    // Data is taken only when it can go straight back, so a client that does not read what it
    // is sent holds its own data in its own socket and nothing is lost.
    if (!state.fdsRead.Contains(s) || !state.fdsWrite.Contains(s)) {
      ++i;
      continue;
    }
    const int n = os.recv(s, state.bufTCPEcho.data(), kTCPEchoBufferSize);
    if (n <= 0 || os.send(s, state.bufTCPEcho.data(), n) < n) {
      RemoveClient(state, clients, i);
      continue;
    }
    state.nTCPEchoBytes += static_cast<std::uint32_t>(n) + kTCPHeaderBytes;
    ++i;
  }
}

}  // namespace orvane
