#pragma once

#include <cstdint>

#include "engine/readiness_set.h"
#include "platform/socket_types.h"

namespace orvane {

// Everything the program asks of the operating system, one method per call it makes. The real
// implementation is LinuxPlatform; tests substitute a fake that scripts results and records
// the calls.
class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // Sockets. Failures return kInvalidSocket (socket, accept) or kSocketError (the others);
  // WSAGetLastError() then gives the reason as a socket error code.
  virtual SocketHandle socket(SockType type) = 0;
  virtual int setsockopt(SocketHandle s, SockOption option, int value) = 0;
  // Binds to the given port on every local IPv4 address.
  virtual int bind(SocketHandle s, std::uint16_t port) = 0;
  virtual int listen(SocketHandle s, int backlog) = 0;
  // Waits at most timeoutMicros for any socket of the three sets; on return each set holds
  // only its ready sockets. Returns the number of ready entries over all sets, or kSocketError.
  virtual int select(int nfds, ReadinessSet& read, ReadinessSet& write, ReadinessSet& except,
                     long timeoutMicros) = 0;
  // kNoClientAccepted when the pending connection died before it could be taken.
  virtual SocketHandle accept(SocketHandle listener) = 0;
  virtual int recv(SocketHandle s, char* buf, int len) = 0;
  virtual int send(SocketHandle s, const char* buf, int len) = 0;
  // A datagram longer than len is discarded whole and reported as a failed receive.
  virtual int recvfrom(SocketHandle s, char* buf, int len, PeerAddress& from) = 0;
  virtual int sendto(SocketHandle s, const char* buf, int len, const PeerAddress& to) = 0;
  virtual int closesocket(SocketHandle s) = 0;
  // The socket error code of the last failed call, in WinSock numbering (10048 = address in use).
  virtual int WSAGetLastError() = 0;

  // Console keyboard: is a key code waiting, and take one without echo.
  virtual bool kbhit() = 0;
  virtual int getch() = 0;

  // Wall-clock time in whole seconds.
  virtual std::int64_t time() = 0;
};

}  // namespace orvane
