#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "control/sock_exception.h"
#include "platform/socket_errors.h"

namespace orvane {
namespace {

TEST(SockErrorText, EveryCodeWithItsOwnText) {
  struct Row {
    int code;
    const char* text;
  } const rows[] = {
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
       "Socket error ESOCKTNOSUPPORT: The specified socket type is not supported in this "
       "address family"},
      {10045, "Socket error EOPNOTSUPP: The socket option is not supported on this socket"},
      {10046,
       "Socket error EPFNOSUPPORT: The requested Protocol Family is not supported for this "
       "socket"},
      {10047,
       "Socket error EAFNOSUPPORT: The requested Address Family is not supported for this "
       "socket"},
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
       "Socket error EPROCLIM: Too many processes communicating via Windows Sockets "
       "simultaneously"},
      {10101, "Socket error EDISCON: Connection terminated gracefully"},
  };
  EXPECT_EQ(std::size(rows), 32u);
  for (const auto& row : rows) EXPECT_STREQ(SockErrorText(row.code), row.text) << row.code;
}

TEST(SockErrorText, EverythingElseGetsTheDefault) {
  for (int code : {10059, 10062, 10066, 10013, 10024, 10034, 10068, 10100, 10102, 1, 48, -1, -10048,
                   2147483647, -2147483647 - 1}) {
    EXPECT_STREQ(SockErrorText(code), "Socket error: An unknown socket error has occured") << code;
  }
}

TEST(SocketErrorFromErrno, LinuxNumbersBecomeTheCodesOfTheSameName) {
  struct Case {
    int linuxErrno;
    int code;
  } const cases[] = {
      {EADDRINUSE, 10048},   {ECONNRESET, 10054},    {EACCES, 10013},       {EMFILE, 10024},
      {EAGAIN, 10035},       {EWOULDBLOCK, 10035},   {EMSGSIZE, 10040},     {ENOTSOCK, 10038},
      {EOPNOTSUPP, 10045},   {EADDRNOTAVAIL, 10049}, {ECONNABORTED, 10053}, {ETIMEDOUT, 10060},
      {EHOSTUNREACH, 10065}, {EINVAL, 10022},        {EBADF, 10009},        {ETOOMANYREFS, 10059},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketErrorFromErrno(c.linuxErrno), c.code) << c.linuxErrno;
}

TEST(SocketErrorFromErrno, NamesWithoutASocketCodeFallToTheDefaultText) {
  // Linux numbers its own errors 1 to about 133, so a number that is its own code can never
  // land on a row of the text table by accident.
  for (int err : {ENOMEM, ENONET, EPROTO, ENFILE, EDEADLK, 35, 0}) {
    const int code = SocketErrorFromErrno(err);
    if (err == 0) {
      EXPECT_STREQ(SockErrorText(code), "Socket error: No error?!?!");
    } else {
      EXPECT_STREQ(SockErrorText(code), "Socket error: An unknown socket error has occured") << err;
    }
  }
}

}  // namespace
}  // namespace orvane
