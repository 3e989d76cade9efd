#include "probe/options.h"

#include <cstring>
#include <string_view>

namespace orvane::probe {

namespace {

enum class OptionId {
  kPort,
  kTime,
  kIpv4,
  kIpv6,
  kJson,
  kHelp,
  kSize,
  kWindow,
  kRate,
  kCount,
  kWait,
  kConnections,
  kInflight,
  kVerify,
  kLines,
};

// The modes an option belongs to, as bits.
constexpr unsigned kUdp = 1u << static_cast<unsigned>(ProbeMode::kUdp);
constexpr unsigned kEcho = 1u << static_cast<unsigned>(ProbeMode::kEcho);
constexpr unsigned kChargen = 1u << static_cast<unsigned>(ProbeMode::kChargen);
constexpr unsigned kConnect = 1u << static_cast<unsigned>(ProbeMode::kConnect);
constexpr unsigned kAllModes = kUdp | kEcho | kChargen | kConnect;

struct OptionSpec {
  const char* shortName;  // null if there is none
  const char* longName;   // null if there is none
  OptionId id;
  unsigned modes;
  const char* value;  // what the value is called in texts; null for a flag
};

constexpr OptionSpec kOptions[] = {
    {"-p", "--port", OptionId::kPort, kAllModes, "port number"},
    {"-t", "--time", OptionId::kTime, kAllModes, "time"},
    {"-4", nullptr, OptionId::kIpv4, kAllModes, nullptr},
    {"-6", nullptr, OptionId::kIpv6, kAllModes, nullptr},
    {nullptr, "--json", OptionId::kJson, kAllModes, nullptr},
    {"-h", "--help", OptionId::kHelp, kAllModes, nullptr},
    {"-s", "--size", OptionId::kSize, kUdp | kEcho | kConnect, "size"},
    {"-w", "--window", OptionId::kWindow, kUdp, "window"},
    {"-r", "--rate", OptionId::kRate, kUdp, "rate"},
    {"-n", "--count", OptionId::kCount, kUdp, "count"},
    {nullptr, "--wait", OptionId::kWait, kUdp, "wait"},
    {"-c", "--connections", OptionId::kConnections, kEcho | kChargen | kConnect,
     "number of connections"},
    {nullptr, "--inflight", OptionId::kInflight, kEcho, "number of bytes in flight"},
    {nullptr, "--verify", OptionId::kVerify, kChargen, nullptr},
    {nullptr, "--lines", OptionId::kLines, kChargen, nullptr},
};

struct ModeEntry {
  const char* name;
  ProbeMode mode;
  std::uint16_t port;
  std::uint32_t size;
};

constexpr ModeEntry kModes[] = {
    {"udp", ProbeMode::kUdp, 7, 64},
    {"echo", ProbeMode::kEcho, 7, 16384},
    {"chargen", ProbeMode::kChargen, 19, 0},
    {"connect", ProbeMode::kConnect, 7, 8},
};

const ModeEntry& EntryOf(ProbeMode mode) {
  return kModes[static_cast<unsigned>(mode)];
}

// The option an argument names, and the value it carries itself ("--port=7007"); null if the
// argument names no option.
const OptionSpec* FindOption(std::string_view arg, std::optional<std::string_view>& inlineValue) {
  inlineValue.reset();
  std::string_view name = arg;
  if (arg.substr(0, 2) == "--") {
    if (const auto equals = arg.find('='); equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      inlineValue = arg.substr(equals + 1);
    }
  }
  for (const auto& option : kOptions) {
    if ((option.shortName != nullptr && name == option.shortName) ||
        (option.longName != nullptr && name == option.longName)) {
      return &option;
    }
  }
  return nullptr;
}

// A whole decimal number within [low, high]: digits only, no sign, no spaces.
std::optional<std::uint64_t> ParseWhole(std::string_view text, std::uint64_t low,
                                        std::uint64_t high) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// A decimal number with an optional fraction ("2", "0.5", ".25", "3."), within [low, high]. Read
// digit by digit, so that no locale, exponent, "inf" or hexadecimal form slips in.
std::optional<double> ParseDecimal(std::string_view text, double low, double high) {
  double value = 0;
  double scale = 0;  // 0 before the point, then the weight of the next digit
  bool digits = false;
  for (const char c : text) {
    if (c == '.' && scale == 0) {
      scale = 0.1;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (scale == 0) {
        value = value * 10 + (c - '0');
      } else {
        value += (c - '0') * scale;
        scale /= 10;
      }
      if (value > high) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!digits || value < low) return std::nullopt;
  return value;
}

struct Range {
  std::uint64_t low;
  std::uint64_t high;
};

Range SizeRange(ProbeMode mode) {
  switch (mode) {
    case ProbeMode::kUdp:
      return {kUdpMinSize, kUdpMaxSize};
    case ProbeMode::kConnect:
      return {0, kMaxWriteSize};
    default:
      return {1, kMaxWriteSize};
  }
}

void ReportBad(std::FILE* err, const OptionSpec& option, std::string_view value,
               const char* range) {
  std::fprintf(err, "Bad %s \"%.*s\" (%s)\n", option.value, static_cast<int>(value.size()),
               value.data(), range);
}

// Stores the value of one option; false (with the reason written to err) if it is wrong.
bool ApplyValue(const OptionSpec& option, std::string_view value, ProbeOptions& options,
                std::FILE* err) {
  char range[64];
  switch (option.id) {
    case OptionId::kPort:
      if (const auto port = ParseWhole(value, 1, 65535)) {
        options.port = static_cast<std::uint16_t>(*port);
        return true;
      }
      ReportBad(err, option, value, "1 to 65535");
      return false;
    case OptionId::kTime:
      if (const auto seconds = ParseDecimal(value, 0.001, 1e6)) {
        options.seconds = *seconds;
        options.timeGiven = true;
        return true;
      }
      ReportBad(err, option, value, "seconds, 0.001 to 1000000");
      return false;
    case OptionId::kSize: {
      const Range r = SizeRange(options.mode);
      if (const auto size = ParseWhole(value, r.low, r.high)) {
        options.size = static_cast<std::uint32_t>(*size);
        return true;
      }
      std::snprintf(range, sizeof range, "bytes, %llu to %llu",
                    static_cast<unsigned long long>(r.low),
                    static_cast<unsigned long long>(r.high));
      ReportBad(err, option, value, range);
      return false;
    }
    case OptionId::kWindow:
      if (const auto window = ParseWhole(value, 1, 100000)) {
        options.window = static_cast<std::uint32_t>(*window);
        return true;
      }
      ReportBad(err, option, value, "datagrams, 1 to 100000");
      return false;
    case OptionId::kRate:
      if (const auto rate = ParseDecimal(value, 0.001, 1e7)) {
        options.rate = *rate;
        return true;
      }
      ReportBad(err, option, value, "datagrams per second, 0.001 to 10000000");
      return false;
    case OptionId::kCount:
      if (const auto count = ParseWhole(value, 1, 1'000'000'000'000)) {
        options.count = *count;
        return true;
      }
      ReportBad(err, option, value, "datagrams, 1 to 1000000000000");
      return false;
    case OptionId::kWait:
      if (const auto wait = ParseDecimal(value, 0, 3600)) {
        options.wait = *wait;
        return true;
      }
      ReportBad(err, option, value, "seconds, 0 to 3600");
      return false;
    case OptionId::kConnections:
      if (const auto connections = ParseWhole(value, 1, kMaxConnections)) {
        options.connections = static_cast<std::uint32_t>(*connections);
        return true;
      }
      std::snprintf(range, sizeof range, "1 to %u", kMaxConnections);
      ReportBad(err, option, value, range);
      return false;
    case OptionId::kInflight:
      if (const auto inflight = ParseWhole(value, 1, 64u << 20)) {
        options.inflight = static_cast<std::uint32_t>(*inflight);
        return true;
      }
      ReportBad(err, option, value, "bytes, 1 to 67108864");
      return false;
    default:
      return true;  // flags carry no value
  }
}

void ApplyFlag(OptionId id, ProbeOptions& options) {
  switch (id) {
    case OptionId::kIpv4:
      options.family = AddressFamily::kIpv4;
      break;
    case OptionId::kIpv6:
      options.family = AddressFamily::kIpv6;
      break;
    case OptionId::kJson:
      options.json = true;
      break;
    case OptionId::kVerify:
      options.check = ChargenCheck::kBlock;
      break;
    case OptionId::kLines:
      options.check = ChargenCheck::kLines;
      break;
    default:
      break;
  }
}

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

// "[::1]" names the address ::1, as in URLs.
std::string_view WithoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

const char* ModeName(ProbeMode mode) {
  return EntryOf(mode).name;
}

void PrintProbeUsage(std::FILE* out) {
  std::fputs(
      "Orvane probe v" ORVANE_VERSION
      ": measures UDP 'echo', TCP 'echo' and 'chargen' services\n"
      "  Usage: orvane-probe <mode> [options] <host>\n"
      "  Modes:\n"
      "    udp       datagrams to the echo port, every answer matched and checked\n"
      "    echo      TCP echo streams, written and read at once, checked byte for byte\n"
      "    chargen   TCP chargen readers\n"
      "    connect   connections per second, each sending a few bytes and reading them back\n"
      "  Options (defaults in brackets):\n"
      "    -p, --port PORT           server port [7; chargen: 19]\n"
      "    -t, --time SECONDS        length of the run, decimals allowed [10]\n"
      "    -4, -6                    IPv4 or IPv6 only [what the host name gives first]\n"
      "    --json                    the summary as one JSON object\n"
      "    -h, --help                this text\n"
      "  udp:\n"
      "    -s, --size BYTES          datagram size, 16 to 65507 [64]\n"
      "    -w, --window N            datagrams in flight [1]\n"
      "    -r, --rate N              N datagrams per second, paced, instead of a window\n"
      "    -n, --count N             stop after N datagrams (with or instead of --time)\n"
      "    --wait SECONDS            wait for late answers after the last send [1]\n"
      "  echo:\n"
      "    -c, --connections N       parallel connections [1]\n"
      "    -s, --size BYTES          bytes per send call [16384]\n"
      "    --inflight BYTES          bytes sent ahead of what came back, per connection [65536]\n"
      "  chargen:\n"
      "    -c, --connections N       parallel readers [1]\n"
      "    --verify                  check the stream against our repeated 1460-byte block\n"
      "    --lines                   check the RFC 864 rotating 72-character lines instead\n"
      "  connect:\n"
      "    -c, --connections N       connections kept going at once [1]\n"
      "    -s, --size BYTES          bytes sent and read back per connection [8]\n"
      "  Exit status: 0 all intact, 1 corruption or nothing came back, 2 usage error\n",
      out);
}

std::optional<int> ParseProbeCommandLine(int argc, const char* const* argv, ProbeOptions& options,
                                         std::FILE* out, std::FILE* err) {
  if (argc < 2) {
    PrintProbeUsage(err);
    return kExitUsage;
  }
  if (IsHelp(argv[1])) {
    PrintProbeUsage(out);
    return kExitIntact;
  }
  const ModeEntry* mode = nullptr;
  for (const auto& entry : kModes) {
    if (std::strcmp(argv[1], entry.name) == 0) mode = &entry;
  }
  if (mode == nullptr) {
    std::fprintf(err, "Unknown mode \"%s\"\n", argv[1]);
    return kExitUsage;
  }
  options = ProbeOptions{};
  options.mode = mode->mode;
  options.size = mode->size;
  bool windowGiven = false;
  bool countGiven = false;
  bool hostGiven = false;

  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::optional<std::string_view> inlineValue;
    const OptionSpec* option =
        arg.size() > 1 && arg[0] == '-' ? FindOption(arg, inlineValue) : nullptr;
    if (option == nullptr) {
      if (arg.size() > 1 && arg[0] == '-') {
        std::fprintf(err, "Unknown option \"%s\"\n", argv[i]);
        return kExitUsage;
      }
      if (hostGiven) {
        std::fprintf(err, "Unexpected argument \"%s\": the host is \"%s\"\n", argv[i],
                     options.host.c_str());
        return kExitUsage;
      }
      options.host = WithoutBrackets(arg);
      hostGiven = true;
      continue;
    }
    if (option->id == OptionId::kHelp) {
      PrintProbeUsage(out);
      return kExitIntact;
    }
    if ((option->modes & (1u << static_cast<unsigned>(options.mode))) == 0) {
      std::fprintf(err, "Option \"%s\" is not for %s\n", argv[i], mode->name);
      return kExitUsage;
    }
    if (option->value == nullptr) {
      if (inlineValue) {
        std::fprintf(err, "Option \"%s\" takes no value\n", argv[i]);
        return kExitUsage;
      }
      const ChargenCheck checkBefore = options.check;
      ApplyFlag(option->id, options);
      if (checkBefore != ChargenCheck::kNone && options.check != checkBefore) {
        std::fputs("Choose --verify or --lines, not both\n", err);
        return kExitUsage;
      }
      continue;
    }
    std::string_view value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      std::fprintf(err, "Missing %s after \"%s\"\n", option->value, argv[i]);
      return kExitUsage;
    }
    if (!ApplyValue(*option, value, options, err)) return kExitUsage;
    windowGiven = windowGiven || option->id == OptionId::kWindow;
    countGiven = countGiven || option->id == OptionId::kCount;
  }

  if (!hostGiven || options.host.empty()) {
    std::fputs("Missing host\n", err);
    return kExitUsage;
  }
  if (windowGiven && options.rate > 0) {
    std::fputs("Choose --window or --rate, not both\n", err);
    return kExitUsage;
  }
  if (options.port == 0) options.port = mode->port;
  // A count alone ends the run; with a time as well, whichever comes first does.
  if (countGiven && !options.timeGiven) options.seconds = 0;
  return std::nullopt;
}

}  // namespace orvane::probe
