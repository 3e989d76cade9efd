#include <sys/socket.h>

#include <cstdio>
#include <string>

#include "probe/net.h"
#include "probe/options.h"
#include "probe/report.h"
#include "probe/runs.h"

namespace orvane::probe {
namespace {

// Prints the summary the way the command line asked for and returns the exit status.
template <typename Result>
int Finish(const Result& result, const ProbeOptions& options, const ErrorLog& errors) {
  errors.Print(stderr);
  const std::string text = options.json ? SummaryJson(result) : SummaryText(result);
  std::fputs(text.c_str(), stdout);
  return ExitStatusOf(result);
}

int Probe(int argc, char** argv) {
  ProbeOptions options;
  if (const auto status = ParseProbeCommandLine(argc, argv, options, stdout, stderr)) {
    return *status;
  }
  const int type = options.mode == ProbeMode::kUdp ? SOCK_DGRAM : SOCK_STREAM;
  const auto endpoint = Resolve(options, type, stderr);
  if (!endpoint) return kExitDamaged;
  CatchStopSignals();
  ErrorLog errors;
  const RunContext run{options, *endpoint, stderr, errors};
  switch (options.mode) {
    case ProbeMode::kUdp:
      return Finish(RunUdp(run), options, errors);
    case ProbeMode::kEcho:
      return Finish(RunEcho(run), options, errors);
    case ProbeMode::kChargen:
      return Finish(RunChargen(run), options, errors);
    case ProbeMode::kConnect:
      return Finish(RunConnect(run), options, errors);
  }
  return kExitUsage;
}

}  // namespace
}  // namespace orvane::probe

int main(int argc, char** argv) {
  return orvane::probe::Probe(argc, argv);
}
