#pragma once

#include <cstdio>

#include "probe/net.h"
#include "probe/options.h"
#include "probe/report.h"

namespace orvane::probe {

// What every run gets: its options, where it goes, and where errors and progress lines go.
struct RunContext {
  const ProbeOptions& options;
  const Endpoint& endpoint;
  std::FILE* err;
  ErrorLog& errors;
};

UdpResult RunUdp(const RunContext& run);
EchoResult RunEcho(const RunContext& run);
ChargenResult RunChargen(const RunContext& run);
ConnectResult RunConnect(const RunContext& run);

}  // namespace orvane::probe
