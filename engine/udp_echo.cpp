#include "engine/udp_echo.h"

namespace orvane {

bool IsAnswerableSender(const PeerAddress& sender, std::uint16_t udpechoport) {
  const std::uint32_t lastOctet = sender.address & 0xFFu;
  if (sender.port < kLowestAnsweredPort) return false;
  if (lastOctet == 255) return false;
  if (lastOctet == 0) return false;
  if (sender.port == udpechoport) return false;
  return true;
}

void ServeUDPEcho(ServiceState& state) {
  PeerAddress sender;
  // A datagram longer than the buffer comes back as a failed receive and is never answered.
  const int n = state.platform.recvfrom(state.sockUDPEcho, state.bufUDPEcho.data(),
                                        kUDPEchoBufferSize, sender);
  if (n < 1 || !IsAnswerableSender(sender, state.udpechoport)) return;

  // Counted before it is sent: the count is of datagrams answered, not of datagrams delivered.
  ++state.nUDPEchoPackets;
  state.nUDPEchoBytes += static_cast<std::uint32_t>(n) + kUDPHeaderBytes;
  (void)state.platform.sendto(state.sockUDPEcho, state.bufUDPEcho.data(), n, sender);
}

}  // namespace orvane
