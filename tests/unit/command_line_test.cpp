#include "control/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_file.h"

namespace orvane {
namespace {

using testing::CapturedFile;

const std::string kUsage =
    "Orvane v0.20: UDP 'echo', TCP 'echo' and 'chargen' services\n"
    "  Usage: orvane [-e <echoport>] [-c <chargenport>]\n";

struct Parsed {
  std::optional<int> status;
  ServicePorts ports;
  std::string err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "orvane");
  CapturedFile err;
  Parsed parsed;
  parsed.status =
      ParseCommandLine(static_cast<int>(args.size()), args.data(), parsed.ports, err.get());
  parsed.err = err.Text();
  return parsed;
}

TEST(PortConversion, WrapsLikeThirtyTwoBitArithmetic) {
  struct Case {
    const char* text;
    std::int32_t value;
  } const cases[] = {
      {"7", 7},
      {"+10", 10},
      {"010", 10},
      {" \t\n\v\f\r42", 42},
      {"7x", 7},
      {"x7", 0},
      {"0x10", 0},
      {"", 0},
      {"-", 0},
      {"+-5", 0},
      {"-1", -1},
      {"2147483647", 2147483647},
      {"2147483648", -2147483647 - 1},
      {"4294967296", 0},
      {"4294967303", 7},
      {"-4294967295", 1},
      {"99999999999999999999", static_cast<std::int32_t>(1661992959u)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertPortNumber(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(CommandLine, DefaultsWithoutArguments) {
  const Parsed parsed = Parse({});
  EXPECT_FALSE(parsed.status.has_value());
  EXPECT_EQ(parsed.ports.echoport, 7);
  EXPECT_EQ(parsed.ports.chargenport, 19);
  EXPECT_EQ(parsed.err, "");
}

TEST(CommandLine, AcceptedPorts) {
  struct Case {
    std::vector<const char*> args;
    std::uint16_t echo;
    std::uint16_t chargen;
  } const cases[] = {
      {{"-E", "700", "-C", "900"}, 700, 900},
      {{"-e", "65543"}, 7, 19},
      {{"-e", "-1"}, 65535, 19},
      {{"-e", "7x"}, 7, 19},
      {{"-e", "7", "-e", "8"}, 8, 19},
      {{"-e", "010", "-c", "+10"}, 10, 10},
      {{"-c", "-65529"}, 7, 7},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse(c.args);
    EXPECT_FALSE(parsed.status.has_value()) << c.args[0] << ' ' << c.args[1];
    EXPECT_EQ(PortOf(parsed.ports.echoport), c.echo) << c.args[0] << ' ' << c.args[1];
    EXPECT_EQ(PortOf(parsed.ports.chargenport), c.chargen) << c.args[0] << ' ' << c.args[1];
    EXPECT_EQ(parsed.err, "");
  }
}

TEST(CommandLine, RefusedWithTheirTexts) {
  struct Case {
    std::vector<const char*> args;
    std::string err;
  } const cases[] = {
      {{"-e"}, "Missing echo port number\n"},
      {{"-c"}, "Missing chargen port number\n"},
      {{"-e", "7", "-c"}, "Missing chargen port number\n"},
      {{"-e", "65536"}, "Bad echo port number\n"},
      {{"-e", "x7"}, "Bad echo port number\n"},
      {{"-e", "0x10"}, "Bad echo port number\n"},
      {{"-c", "0"}, "Bad chargen port number\n"},
      {{"-c", "-131072"}, "Bad chargen port number\n"},
      // The value after -e is never itself an option.
      {{"-e", "-c", "9"}, "Bad echo port number\n"},
      {{"-e", "7", "-h"}, "Unknown option \"-h\"\n"},
      {{""}, "Unknown option \"\"\n"},
      {{"-ee", "7"}, "Unknown option \"-ee\"\n"},
      {{"7"}, "Unknown option \"7\"\n"},
      // The first error stops the reading; later ones are never seen.
      {{"-e", "0", "bogus"}, "Bad echo port number\n"},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.status, std::optional<int>(kExitUsage)) << c.err;
    EXPECT_EQ(parsed.err, c.err);
  }
}

TEST(CommandLine, HelpOnlyAsFirstArgumentAndAsAPrefixInEitherCase) {
  const std::vector<std::vector<const char*>> asks = {
      {"/?"}, {"-?"},     {"/h"},     {"-h"},  {"--h"},           {"-help"},
      {"/H"}, {"--HELP"}, {"-hello"}, {"-?x"}, {"-h", "-e", "0"}, {"-help", "bogus"},
  };
  for (const auto& args : asks) {
    const Parsed parsed = Parse(args);
    EXPECT_EQ(parsed.status, std::optional<int>(kExitUsage)) << args[0];
    EXPECT_EQ(parsed.err, kUsage) << args[0];
  }
  for (const char* notHelp : {"/", "-", "h", "?", "--", "-x"}) {
    EXPECT_NE(Parse({notHelp}).err, kUsage) << notHelp;
  }
}

}  // namespace
}  // namespace orvane
