#include "engine/status_line.h"

#include <cstdio>

namespace orvane {

std::size_t FormatStatusLine(const StatusFigures& f, char* buf, std::size_t size) {
  const int n =
      std::snprintf(buf, size, "%4u, %5u  %4u, %5u  %4u, %5u    \r", f.udpPackets, f.udpBytes >> 7,
                    f.chargenClients, f.chargenBytes >> 7, f.echoClients, f.echoBytes >> 7);
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

}  // namespace orvane
