#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace orvane::probe {

// Exit statuses of the probe.
inline constexpr int kExitIntact = 0;   // something came back, and all of it intact
inline constexpr int kExitDamaged = 1;  // corruption seen, or nothing came back at all
inline constexpr int kExitUsage = 2;    // the command line was wrong

enum class ProbeMode { kUdp, kEcho, kChargen, kConnect };
enum class AddressFamily { kAny, kIpv4, kIpv6 };
// What a chargen stream is checked against.
enum class ChargenCheck { kNone, kBlock, kLines };

struct ProbeOptions {
  ProbeMode mode = ProbeMode::kUdp;
  std::string host;
  std::uint16_t port = 0;  // the mode's well-known port until one is given
  double seconds = 10;     // 0: no time limit (a udp run with a count alone)
  bool timeGiven = false;
  AddressFamily family = AddressFamily::kAny;
  bool json = false;
  std::uint32_t size = 0;  // the mode's default until one is given
  // udp
  std::uint32_t window = 1;
  double rate = 0;          // datagrams per second; 0 keeps a window instead
  std::uint64_t count = 0;  // 0: no limit but the time
  double wait = 1;          // seconds to wait for late answers
  // echo, chargen, connect
  std::uint32_t connections = 1;
  // echo: bytes sent ahead of what has come back, per connection
  std::uint32_t inflight = 65536;
  ChargenCheck check = ChargenCheck::kNone;
};

// Default sizes and limits of the modes.
inline constexpr std::uint32_t kUdpMinSize = 16;     // sequence number 8 + time stamp 8
inline constexpr std::uint32_t kUdpMaxSize = 65507;  // 65535 - 20 IPv4 - 8 UDP
inline constexpr std::uint32_t kMaxWriteSize = 1 << 20;
inline constexpr std::uint32_t kMaxConnections = 1000;

const char* ModeName(ProbeMode mode);

// Writes the banner and usage text to out.
void PrintProbeUsage(std::FILE* out);

// Reads the command line into options. Returns the exit status when the program must stop here
// (help was asked for and written to out, or the command line was wrong and the reason written
// to err).
std::optional<int> ParseProbeCommandLine(int argc, const char* const* argv, ProbeOptions& options,
                                         std::FILE* out, std::FILE* err);

}  // namespace orvane::probe
