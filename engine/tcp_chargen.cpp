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
  ServeClientTable(state, state.sockTCPChargenClients, [&](SocketHandle s) {
    // Reading comes first, so a client that has gone is not sent another block.
    if (state.fdsRead.Contains(s) &&
        os.recv(s, state.bufTCPChargenIn.data(), kTCPChargenInBufferSize) <= 0) {
      return false;
    }
    if (state.fdsWrite.Contains(s)) {
      if (os.send(s, state.bufTCPChargenOut.data(), kTCPChargenBlockSize) != kTCPChargenBlockSize) {
        return false;
      }
      state.nTCPChargenBytes += kTCPChargenBlockWireBytes;
    }
    return true;
  });
}

}  // namespace orvane
