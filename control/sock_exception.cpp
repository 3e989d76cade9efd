#include "control/sock_exception.h"

#include <new>

#include "platform/platform.h"

namespace orvane {

namespace {

struct SockErrorEntry {
  std::int32_t code;
  const char* text;
};

// One row per socket error code that has its own text; every other code gets the default.
constexpr SockErrorEntry kSockErrorTexts[] = {
    {0, "Socket error: No error?!?!"},
    {10035, "Socket error EWOULDBLOCK: Operation would block"},
    {10036, "Socket error EINPROGRESS: A blocking call is in progress"},
    {10037, "Socket error EALREADY: The requested operation was already completed"},
    {10038, "Socket error ENOTSOCK: The descriptor is not a socket"},
    {10039, "Socket error EDESTADDRREQ: A destination address is required in the function call"},
    {10040,
     "Socket error EMSGSIZE: The datagram was too large to fit in a single buffer and was "
     "truncated"},
    {10041, "Socket error EPROTOTYPE: The specified port is the wrong type for this socket"},
    {10042, "Socket error ENOPROTOOPT: The protocol option is unknown or unsupported"},
    {10043, "Socket error EPROTONOSUPPORT: The requested protocol is not supported"},
    {10044,
     "Socket error ESOCKTNOSUPPORT: The specified socket type is not supported in this address "
     "family"},
    {10045, "Socket error EOPNOTSUPP: The socket option is not supported on this socket"},
    {10046,
     "Socket error EPFNOSUPPORT: The requested Protocol Family is not supported for this socket"},
    {10047,
     "Socket error EAFNOSUPPORT: The requested Address Family is not supported for this socket"},
    {10048, "Socket error EADDRINUSE: The requested port/address is already in use"},
    {10049, "Socket error EADDRNOTAVAIL: The requested address is not available"},
    {10050, "Socket error ENETDOWN: Network subsystem is down"},
    {10051, "Socket error ENETUNREACH: The remote network is unreachable"},
    {10052, "Socket error ENETRESET: WinSock has dropped the connection"},
    {10053,
     "Socket error ECONNABORTED: The connection was dropped due to timeout or other failure"},
    {10054, "Socket error ECONNRESET: The connection has been reset by the remote peer"},
    {10055, "Socket error ENOBUFS: No buffer space is available"},
    {10056, "Socket error EISCONN: The specified socket is already connected"},
    {10057, "Socket error ENOTCONN: The specified socket is not connected"},
    {10058, "Socket error ESHUTDOWN: The specified socket has already been shut down"},
    {10060, "Socket error ETIMEDOUT: The connection attempt has timed out"},
    {10061, "Socket error ECONNREFUSED: The connection attempt was forcefully refused"},
    {10063, "Socket error ENAMETOOLONG: The specified name was too long"},
    {10064, "Socket error EHOSTDOWN: The remote host has gone down"},
    {10065, "Socket error EHOSTUNREACH: The remote host is unreachable"},
    {10067,
     "Socket error EPROCLIM: Too many processes communicating via Windows Sockets simultaneously"},
    {10101, "Socket error EDISCON: Connection terminated gracefully"},
};

constexpr const char* kUnknownSockErrorText = "Socket error: An unknown socket error has occured";

}  // namespace

const char* SockErrorText(std::int32_t code) {
  for (const auto& entry : kSockErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return kUnknownSockErrorText;
}

const char* CSockException::GetErrorText() const {
  return SockErrorText(m_nErrorCode);
}

void ThrowSockException(Platform& platform) {
  const std::int32_t code = platform.WSAGetLastError();
  throw new (std::nothrow) CSockException(code);
}

}  // namespace orvane
