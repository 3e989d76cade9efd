#include "engine/tcp_chargen.h"

namespace orvane {

void FillChargenPattern(ServiceState& state) {
  for (int k = 0; k < kTCPChargenBlockSize; ++k) {
    state.bufTCPChargenOut[static_cast<std::size_t>(k)] =
        static_cast<char>(kChargenFirstChar + k % kChargenCycleLength);
  }
}

void ServeTCPChargenClients(ServiceState& state) {
  Platform& os = state.platform;
  ClientTable& clients = state.sockTCPChargenClients;
  std::uint32_t i = 0;
  while (i < clients.count) {
    const SocketHandle s = clients.sockets[i];
    if (state.fdsExcept.Contains(s)) {
      RemoveClient(state, clients, i);
      continue;
    }
    // Reading comes first, so a client that has gone is not sent another block.
    if (state.fdsRead.Contains(s) &&
        os.recv(s, state.bufTCPChargenIn.data(), kTCPChargenInBufferSize) <= 0) {
      RemoveClient(state, clients, i);
      continue;
    }
    if (state.fdsWrite.Contains(s)) {
      if (os.send(s, state.bufTCPChargenOut.data(), kTCPChargenBlockSize) != kTCPChargenBlockSize) {
        RemoveClient(state, clients, i);
        continue;
      }
      state.nTCPChargenBytes += kTCPChargenBlockWireBytes;
    }
    ++i;
  }
}

}  // namespace orvane
