#pragma once

namespace orvane {

// Translates a Linux errno value into the socket error code of the same name in WinSock
// numbering (10000 + the BSD number: EADDRINUSE is 10048, EACCES 10013). An errno that has
// no such name is returned as it is, which falls to the default error text.
int SocketErrorFromErrno(int err);

}  // namespace orvane
