#include "probe/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/unit/captured_file.h"

namespace orvane::probe {
namespace {

using orvane::testing::CapturedFile;

struct Parsed {
  std::optional<int> status;
  ProbeOptions options;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "orvane-probe");
  CapturedFile out;
  CapturedFile err;
  Parsed parsed;
  parsed.status = ParseProbeCommandLine(static_cast<int>(args.size()), args.data(), parsed.options,
                                        out.get(), err.get());
  parsed.out = out.Text();
  parsed.err = err.Text();
  return parsed;
}

std::string Joined(const std::vector<const char*>& args) {
  std::string text;
  for (const char* a : args) text += std::string(a) + ' ';
  return text;
}

TEST(ProbeCommandLine, EachModeHasItsDefaults) {
  struct Case {
    const char* mode;
    ProbeMode expected;
    std::uint16_t port;
    std::uint32_t size;
  } const cases[] = {
      {"udp", ProbeMode::kUdp, 7, 64},
      {"echo", ProbeMode::kEcho, 7, 16384},
      {"chargen", ProbeMode::kChargen, 19, 0},
      {"connect", ProbeMode::kConnect, 7, 8},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse({c.mode, "example.net"});
    ASSERT_FALSE(parsed.status.has_value()) << c.mode << ": " << parsed.err;
    const ProbeOptions& o = parsed.options;
    EXPECT_EQ(o.mode, c.expected) << c.mode;
    EXPECT_EQ(o.port, c.port) << c.mode;
    EXPECT_EQ(o.size, c.size) << c.mode;
    EXPECT_EQ(o.host, "example.net");
    EXPECT_EQ(o.seconds, 10);
    EXPECT_EQ(o.family, AddressFamily::kAny);
    EXPECT_FALSE(o.json);
    EXPECT_EQ(o.window, 1u);
    EXPECT_EQ(o.rate, 0);
    EXPECT_EQ(o.count, 0u);
    EXPECT_EQ(o.wait, 1);
    EXPECT_EQ(o.connections, 1u);
    EXPECT_EQ(o.inflight, 65536u);
    EXPECT_EQ(o.check, ChargenCheck::kNone);
  }
}

TEST(ProbeCommandLine, AcceptedOptions) {
  struct Case {
    std::vector<const char*> args;
    std::function<void(const ProbeOptions&)> expect;
  } const cases[] = {
      {{"udp", "-p", "7007", "-t", "0.5", "-s", "1400", "-w", "32", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.port, 7007);
         EXPECT_EQ(o.seconds, 0.5);
         EXPECT_EQ(o.size, 1400u);
         EXPECT_EQ(o.window, 32u);
       }},
      {{"udp", "--port=7007", "--size", "16", "--window=100000", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.port, 7007);
         EXPECT_EQ(o.size, 16u);
         EXPECT_EQ(o.window, 100000u);
       }},
      // Options may follow the host, and the last of a repeated option counts.
      {{"udp", "host", "-p", "1", "-p", "65535", "-s", "65507"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.port, 65535);
         EXPECT_EQ(o.size, 65507u);
       }},
      {{"udp", "-r", "2.5", "--wait", "0", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.rate, 2.5);
         EXPECT_EQ(o.wait, 0);
       }},
      // A count alone ends the run, with no time limit; with a time, whichever comes first.
      {{"udp", "-n", "100", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.count, 100u);
         EXPECT_EQ(o.seconds, 0);
       }},
      {{"udp", "-t", "2", "--count", "100", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.count, 100u);
         EXPECT_EQ(o.seconds, 2);
       }},
      {{"udp", "-t", ".25", "host"}, [](const ProbeOptions& o) { EXPECT_EQ(o.seconds, 0.25); }},
      {{"udp", "-t", "3.", "host"}, [](const ProbeOptions& o) { EXPECT_EQ(o.seconds, 3); }},
      {{"udp", "-4", "host"},
       [](const ProbeOptions& o) { EXPECT_EQ(o.family, AddressFamily::kIpv4); }},
      {{"udp", "-4", "-6", "host"},
       [](const ProbeOptions& o) { EXPECT_EQ(o.family, AddressFamily::kIpv6); }},
      // An address in brackets, as in URLs.
      {{"udp", "[::1]"}, [](const ProbeOptions& o) { EXPECT_EQ(o.host, "::1"); }},
      {{"udp", "::1"}, [](const ProbeOptions& o) { EXPECT_EQ(o.host, "::1"); }},
      {{"echo", "--json", "-c", "60", "-s", "1048576", "--inflight", "1", "host"},
       [](const ProbeOptions& o) {
         EXPECT_TRUE(o.json);
         EXPECT_EQ(o.connections, 60u);
         EXPECT_EQ(o.size, 1048576u);
         EXPECT_EQ(o.inflight, 1u);
       }},
      {{"chargen", "--verify", "--verify", "-c", "1000", "host"},
       [](const ProbeOptions& o) {
         EXPECT_EQ(o.check, ChargenCheck::kBlock);
         EXPECT_EQ(o.connections, 1000u);
       }},
      {{"chargen", "--lines", "host"},
       [](const ProbeOptions& o) { EXPECT_EQ(o.check, ChargenCheck::kLines); }},
      // A connect with nothing to send only connects and closes.
      {{"connect", "-s", "0", "host"}, [](const ProbeOptions& o) { EXPECT_EQ(o.size, 0u); }},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse(c.args);
    SCOPED_TRACE(Joined(c.args));
    ASSERT_FALSE(parsed.status.has_value()) << parsed.err;
    EXPECT_EQ(parsed.err, "");
    c.expect(parsed.options);
  }
}

TEST(ProbeCommandLine, RefusedWithTheirTexts) {
  struct Case {
    std::vector<const char*> args;
    std::string err;
  } const cases[] = {
      {{"tcp", "host"}, "Unknown mode \"tcp\"\n"},
      {{"UDP", "host"}, "Unknown mode \"UDP\"\n"},
      {{"-p", "7", "udp", "host"}, "Unknown mode \"-p\"\n"},
      {{"udp", "--bogus", "host"}, "Unknown option \"--bogus\"\n"},
      {{"udp", "-pp", "host"}, "Unknown option \"-pp\"\n"},
      {{"udp"}, "Missing host\n"},
      {{"udp", ""}, "Missing host\n"},
      {{"udp", "a", "b"}, "Unexpected argument \"b\": the host is \"a\"\n"},
      {{"udp", "-p"}, "Missing port number after \"-p\"\n"},
      {{"echo", "host", "-c"}, "Missing number of connections after \"-c\"\n"},
      {{"udp", "-p", "0", "host"}, "Bad port number \"0\" (1 to 65535)\n"},
      {{"udp", "-p", "65536", "host"}, "Bad port number \"65536\" (1 to 65535)\n"},
      {{"udp", "-p", "7x", "host"}, "Bad port number \"7x\" (1 to 65535)\n"},
      {{"udp", "-p", "-1", "host"}, "Bad port number \"-1\" (1 to 65535)\n"},
      {{"udp", "-p", " 7", "host"}, "Bad port number \" 7\" (1 to 65535)\n"},
      {{"udp", "--port=", "host"}, "Bad port number \"\" (1 to 65535)\n"},
      {{"udp", "-t", "0", "host"}, "Bad time \"0\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-t", "1e3", "host"}, "Bad time \"1e3\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-t", "inf", "host"}, "Bad time \"inf\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-t", ".", "host"}, "Bad time \".\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-t", "1.2.3", "host"}, "Bad time \"1.2.3\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-t", "1000001", "host"}, "Bad time \"1000001\" (seconds, 0.001 to 1000000)\n"},
      {{"udp", "-s", "15", "host"}, "Bad size \"15\" (bytes, 16 to 65507)\n"},
      {{"udp", "-s", "65508", "host"}, "Bad size \"65508\" (bytes, 16 to 65507)\n"},
      {{"echo", "-s", "0", "host"}, "Bad size \"0\" (bytes, 1 to 1048576)\n"},
      {{"connect", "-s", "1048577", "host"}, "Bad size \"1048577\" (bytes, 0 to 1048576)\n"},
      {{"udp", "-w", "0", "host"}, "Bad window \"0\" (datagrams, 1 to 100000)\n"},
      {{"udp", "-r", "0", "host"}, "Bad rate \"0\" (datagrams per second, 0.001 to 10000000)\n"},
      {{"udp", "-n", "0", "host"}, "Bad count \"0\" (datagrams, 1 to 1000000000000)\n"},
      {{"udp", "--wait", "3601", "host"}, "Bad wait \"3601\" (seconds, 0 to 3600)\n"},
      {{"echo", "-c", "1001", "host"}, "Bad number of connections \"1001\" (1 to 1000)\n"},
      {{"echo", "--inflight", "0", "host"},
       "Bad number of bytes in flight \"0\" (bytes, 1 to 67108864)\n"},
      // Options that belong to another mode.
      {{"chargen", "-s", "5", "host"}, "Option \"-s\" is not for chargen\n"},
      {{"echo", "-w", "5", "host"}, "Option \"-w\" is not for echo\n"},
      {{"udp", "-c", "5", "host"}, "Option \"-c\" is not for udp\n"},
      {{"udp", "--verify", "host"}, "Option \"--verify\" is not for udp\n"},
      {{"connect", "--inflight", "5", "host"}, "Option \"--inflight\" is not for connect\n"},
      {{"udp", "--json=yes", "host"}, "Option \"--json=yes\" takes no value\n"},
      {{"udp", "-w", "2", "-r", "5", "host"}, "Choose --window or --rate, not both\n"},
      {{"udp", "-r", "5", "-w", "2", "host"}, "Choose --window or --rate, not both\n"},
      {{"chargen", "--verify", "--lines", "host"}, "Choose --verify or --lines, not both\n"},
      // The first error stops the reading.
      {{"udp", "-p", "0", "--bogus"}, "Bad port number \"0\" (1 to 65535)\n"},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse(c.args);
    SCOPED_TRACE(Joined(c.args));
    EXPECT_EQ(parsed.status, std::optional<int>(kExitUsage));
    EXPECT_EQ(parsed.err, c.err);
    EXPECT_EQ(parsed.out, "");
  }
}

TEST(ProbeCommandLine, HelpGoesToStandardOutputAndEndsWell) {
  for (const auto& args : std::vector<std::vector<const char*>>{
           {"-h"}, {"--help"}, {"udp", "-h"}, {"chargen", "host", "--help", "--bogus"}}) {
    const Parsed parsed = Parse(args);
    SCOPED_TRACE(Joined(args));
    EXPECT_EQ(parsed.status, std::optional<int>(kExitIntact));
    EXPECT_EQ(parsed.out.rfind("Orvane probe v", 0), 0u) << parsed.out;
    EXPECT_NE(parsed.out.find("  Usage: orvane-probe <mode> [options] <host>\n"),
              std::string::npos);
    EXPECT_EQ(parsed.err, "");
  }
}

TEST(ProbeCommandLine, NoArgumentsIsAUsageError) {
  const Parsed parsed = Parse({});
  EXPECT_EQ(parsed.status, std::optional<int>(kExitUsage));
  EXPECT_EQ(parsed.out, "");
  EXPECT_NE(parsed.err.find("  Usage: orvane-probe"), std::string::npos);
}

}  // namespace
}  // namespace orvane::probe
