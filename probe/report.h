#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "probe/options.h"
#include "probe/rtt_histogram.h"
#include "probe/udp_matcher.h"

namespace orvane::probe {

// Where a run went: the host as given and the address it resolved to.
struct Target {
  std::string host;
  std::string address;
  std::uint16_t port = 0;
};

struct UdpResult {
  Target target;
  std::uint32_t size = 0;
  std::uint32_t window = 0;  // 0 when paced at `rate`
  double rate = 0;
  double seconds = 0;  // from the first send to the last send or answer, whichever is later
  UdpTally tally;
  std::optional<RttSummary> rtt;
};

struct EchoResult {
  Target target;
  std::uint32_t connections = 0;
  double seconds = 0;  // from the moment every connection was up
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesVerified = 0;
  std::uint64_t mismatches = 0;  // connections whose stream differed
  std::optional<std::uint64_t> firstMismatch;
  std::uint64_t failed = 0;  // connections that could not be made or ended early
};

struct ChargenResult {
  Target target;
  std::uint32_t connections = 0;
  double seconds = 0;  // from the moment every connection was up
  std::uint64_t bytes = 0;
  ChargenCheck check = ChargenCheck::kNone;
  std::uint64_t corrupted = 0;  // connections whose stream differed
  std::optional<std::uint64_t> firstCorrupt;
  std::uint64_t failed = 0;
};

struct ConnectResult {
  Target target;
  std::uint32_t size = 0;
  std::uint32_t parallel = 0;
  double seconds = 0;
  std::uint64_t completed = 0;   // connect, echo and close cycles done
  std::uint64_t mismatches = 0;  // cycles whose echo differed
  std::uint64_t failed = 0;      // cycles that could not connect or ended early
};

// The exit status a result calls for: kExitIntact when something came back and all of it was
// intact, kExitDamaged otherwise.
int ExitStatusOf(const UdpResult& result);
int ExitStatusOf(const EchoResult& result);
int ExitStatusOf(const ChargenResult& result);
int ExitStatusOf(const ConnectResult& result);

// The summary for people: a few lines, each ending in '\n'.
std::string SummaryText(const UdpResult& result);
std::string SummaryText(const EchoResult& result);
std::string SummaryText(const ChargenResult& result);
std::string SummaryText(const ConnectResult& result);

// The summary for scripts: one JSON object on one line, ending in '\n'.
std::string SummaryJson(const UdpResult& result);
std::string SummaryJson(const EchoResult& result);
std::string SummaryJson(const ChargenResult& result);
std::string SummaryJson(const ConnectResult& result);

// One progress line, ending in a carriage return so that the next one overwrites it. Rates have
// fixed widths and totals only grow, so a line is never shorter than the one before.
std::string UdpProgress(double elapsed, double perSecond, const UdpTally& tally);
std::string StreamProgress(double elapsed, double mbPerSecond, std::uint64_t bytes,
                           std::uint64_t damaged, std::uint64_t failed);
std::string ConnectProgress(double elapsed, double perSecond, std::uint64_t completed,
                            std::uint64_t failed);

// Text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

}  // namespace orvane::probe
