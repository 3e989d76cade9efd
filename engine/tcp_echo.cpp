#include "engine/tcp_echo.h"

#include "engine/tcp_chargen.h"

namespace orvane {

void ServeTCPEchoClients(ServiceState& state) {
  Platform& os = state.platform;
  ServeClientTable(state, state.sockTCPEchoClients, [&](SocketHandle s) {
    // Data is taken only when it can go straight back, so a client that does not read what it
    // is sent keeps its own data waiting in its own socket and nothing is lost.
    if (!state.fdsRead.Contains(s) || !state.fdsWrite.Contains(s)) return true;
    const int n = os.recv(s, state.bufTCPEcho.data(), kTCPEchoBufferSize);
    if (n <= 0 || os.send(s, state.bufTCPEcho.data(), n) < n) return false;
    state.nTCPEchoBytes += static_cast<std::uint32_t>(n) + kTCPHeaderBytes;
    return true;
  });
}

}  // namespace orvane
