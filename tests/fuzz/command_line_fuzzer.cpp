// The command line: any argument vector ends in exactly one of the outcomes the usage rules
// give (serve on the parsed ports, the usage text, or one option error, the last two with
// status 1), never in a crash, and the same arguments always give the same result.
//
// Input: the arguments after the program's name, separated by NUL bytes; an empty input is no
// argument at all.

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "control/command_line.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using orvane::ServicePorts;
using orvane::fuzz::Check;
using orvane::fuzz::MemoryStream;

struct Outcome {
  std::optional<int> status;
  ServicePorts ports;
  std::string err;

  bool operator==(const Outcome& o) const {
    return status == o.status && ports.echoport == o.ports.echoport &&
           ports.chargenport == o.ports.chargenport && err == o.err;
  }
};

Outcome Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"orvane"};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  MemoryStream err;
  Outcome outcome;
  outcome.status = orvane::ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(),
                                            outcome.ports, err.get());
  outcome.err = err.Close();
  return outcome;
}

// The rules as the usage text and the manual state them, written out independently.

std::string Lower(const std::string& s) {
  std::string lower = s;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// A decimal value as the classic C library reads it, the digits taken modulo 2^32.
std::int32_t ExpectedPortValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % 4294967296u;
  }
  if (negative) value = (4294967296u - value) % 4294967296u;
  const auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));

  // Where the value fits, the C library must agree.
  errno = 0;
  const long long exact = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == 0) {
    Check(wrapped == static_cast<std::int32_t>(static_cast<std::uint32_t>(exact)),
          "the modulo reading disagrees with strtoll");
  }
  return wrapped;
}

Outcome Expected(const std::vector<std::string>& args) {
  Outcome outcome;
  if (!args.empty()) {
    const std::string first = Lower(args[0]);
    for (const char* form : {"/?", "-?", "/h", "-h", "--h"}) {
      if (first.rfind(form, 0) == 0) {
        outcome.status = orvane::kExitUsage;
        outcome.err =
            "Orvane v0.20: UDP 'echo', TCP 'echo' and 'chargen' services\n"
            "  Usage: orvane [-e <echoport>] [-c <chargenport>]\n";
        return outcome;
      }
    }
  }
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string option = Lower(args[i]);
    const bool echo = option == "-e";
    if (!echo && option != "-c") {
      outcome.status = orvane::kExitUsage;
      outcome.err = std::string("Unknown option \"").append(args[i]).append("\"\n");
      return outcome;
    }
    const char* name = echo ? "echo" : "chargen";
    if (i + 1 == args.size()) {
      outcome.status = orvane::kExitUsage;
      outcome.err = std::string("Missing ").append(name).append(" port number\n");
      return outcome;
    }
    const std::int32_t value = ExpectedPortValue(args[i + 1]);
    (echo ? outcome.ports.echoport : outcome.ports.chargenport) = value;
    if ((value & 0xFFFF) == 0) {
      outcome.status = orvane::kExitUsage;
      outcome.err = std::string("Bad ").append(name).append(" port number\n");
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    args.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        args.emplace_back();
      } else {
        args.back().push_back(static_cast<char>(data[i]));
      }
    }
  }

  const Outcome first = Parse(args);
  Check(Parse(args) == first, "the same arguments gave another result");
  Check(first.status == std::nullopt || first.status == orvane::kExitUsage,
        "an exit status other than 1");
  Check(first.status.has_value() == !first.err.empty(), "an outcome and its text disagree");
  if (!first.status) {
    Check(orvane::PortOf(first.ports.echoport) != 0 && orvane::PortOf(first.ports.chargenport) != 0,
          "serving on port 0");
  }
  const Outcome expected = Expected(args);
  Check(first.status == expected.status, "another outcome than the rules give");
  Check(first.err == expected.err, "another text than the rules give");
  if (!first.status) {
    Check(first.ports.echoport == expected.ports.echoport &&
              first.ports.chargenport == expected.ports.chargenport,
          "other ports than the rules give");
  }
  return 0;
}
