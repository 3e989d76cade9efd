// The command line as the operator meets it: what the binary prints and returns for each kind
// of argument, and which ports it really serves on when it accepts them.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsage =
    "Orvane v0.20: UDP 'echo', TCP 'echo' and 'chargen' services\n"
    "  Usage: orvane [-e <echoport>] [-c <chargenport>]\n";

struct RejectedCase {
  const char* name;
  std::vector<std::string> args;
  std::string_view stderrText;
};

void PrintTo(const RejectedCase& c, std::ostream* os) {
  *os << c.name;
}

class RejectedCommandLine : public ::testing::TestWithParam<RejectedCase> {};

// Nothing on stdout, the exact text on stderr, status 1, and no server left running.
TEST_P(RejectedCommandLine, PrintsTheTextAndExitsWithStatus1) {
  const RejectedCase& c = GetParam();
  ServerProcess server(c.args);
  ASSERT_TRUE(server.Started()) << server.error();
  EXPECT_EQ(DescribeWaitStatus(server.WaitForExit(In(10s))), ExitedWith(1));
  server.ReadRemainingOutput(In(5s));
  EXPECT_EQ(server.Stdout(), "");
  EXPECT_EQ(server.Stderr(), c.stderrText);
}

INSTANTIATE_TEST_SUITE_P(
    Help, RejectedCommandLine,
    ::testing::Values(
        // Every help form, as a prefix of the first argument, in any case.
        RejectedCase{"SlashQuestion", {"/?"}, kUsage}, RejectedCase{"DashQuestion", {"-?"}, kUsage},
        RejectedCase{"SlashH", {"/h"}, kUsage}, RejectedCase{"DashH", {"-h"}, kUsage},
        RejectedCase{"DashDashH", {"--h"}, kUsage}, RejectedCase{"DashHelp", {"-help"}, kUsage},
        RejectedCase{"SlashUpperH", {"/H"}, kUsage},
        RejectedCase{"DashDashUpperHelp", {"--HELP"}, kUsage},
        RejectedCase{"DashHello", {"-hello"}, kUsage},
        RejectedCase{"DashQuestionWithSuffix", {"-?x"}, kUsage},
        // Whatever follows the help form does not matter, not even a broken option.
        RejectedCase{"HelpBeforePorts", {"-h", "-e", "7", "-c", "19"}, kUsage},
        RejectedCase{"HelpBeforeMissingValue", {"/?", "-e"}, kUsage},
        RejectedCase{"HelpBeforeUnknownOption", {"-H", "-bogus"}, kUsage}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OptionErrors, RejectedCommandLine,
    ::testing::Values(
        // Help is asked for by the first argument only; later it is an unknown option.
        RejectedCase{"HelpAfterOption", {"-e", "7", "-h"}, "Unknown option \"-h\"\n"},
        RejectedCase{"Empty", {""}, "Unknown option \"\"\n"},
        RejectedCase{"Unknown", {"-x"}, "Unknown option \"-x\"\n"},
        RejectedCase{"OptionWithTail", {"-ee", "7"}, "Unknown option \"-ee\"\n"},
        RejectedCase{"BareValue", {"7"}, "Unknown option \"7\"\n"},
        RejectedCase{"EchoLast", {"-e"}, "Missing echo port number\n"},
        RejectedCase{"ChargenAlone", {"-c"}, "Missing chargen port number\n"},
        RejectedCase{"ChargenLastAfterEcho", {"-e", "7", "-c"}, "Missing chargen port number\n"},
        // The first error stops the reading: nothing after it is looked at.
        RejectedCase{"FirstErrorWins", {"-e", "0", "-x"}, "Bad echo port number\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    BadPorts, RejectedCommandLine,
    ::testing::Values(
        // A value whose low 16 bits are zero is no port.
        RejectedCase{"Zero", {"-e", "0"}, "Bad echo port number\n"},
        RejectedCase{"ChargenZero", {"-c", "0"}, "Bad chargen port number\n"},
        RejectedCase{"Exactly65536", {"-e", "65536"}, "Bad echo port number\n"},
        RejectedCase{"ChargenMinus65536", {"-c", "-65536"}, "Bad chargen port number\n"},
        RejectedCase{"TwoToThe32", {"-e", "4294967296"}, "Bad echo port number\n"},
        // No digits at the start: the value converts to 0.
        RejectedCase{"LeadingLetter", {"-e", "x7"}, "Bad echo port number\n"},
        RejectedCase{"HexIsNotRead", {"-e", "0x10"}, "Bad echo port number\n"},
        RejectedCase{"EmptyValue", {"-c", ""}, "Bad chargen port number\n"},
        RejectedCase{"SignOnly", {"-c", "-"}, "Bad chargen port number\n"},
        // A value that looks like an option is still taken as the value.
        RejectedCase{"OptionAsEchoValue", {"-e", "-c"}, "Bad echo port number\n"},
        RejectedCase{"OptionAsChargenValue", {"-c", "-e", "7"}, "Bad chargen port number\n"},
        // Each value is checked as it is read, even one that a later one would replace.
        RejectedCase{"BadBeforeGood", {"-e", "0", "-e", "7"}, "Bad echo port number\n"},
        RejectedCase{"GoodBeforeBad", {"-e", "7", "-e", "65536"}, "Bad echo port number\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// -------------------------------------------------------------------------------------------
// Accepted command lines: the server must really hold the ports that the values stand for.

struct Ports {
  std::uint16_t echo;
  std::uint16_t chargen;
  std::uint16_t spare;  // a third free port, for values that must not end up being used
};

struct AcceptedCase {
  const char* name;
  std::vector<std::string> (*args)(const Ports&);
};

void PrintTo(const AcceptedCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Num(long long v) {
  return std::to_string(v);
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto part : parts) out += part;
  return out;
}

// decimal + v, for values too large for any integer type.
std::string AddDecimal(std::string decimal, unsigned v) {
  for (auto digit = decimal.rbegin(); v != 0 && digit != decimal.rend(); ++digit) {
    v += static_cast<unsigned>(*digit - '0');
    *digit = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return v == 0 ? decimal : std::to_string(v) + decimal;
}

class AcceptedCommandLine : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedCommandLine, ServesOnThePortsTheValuesStandFor) {
  const std::vector<std::uint16_t> free = FreePorts(3);
  ASSERT_EQ(free.size(), 3u) << "no free ports";
  const Ports ports{free[0], free[1], free[2]};
  const std::vector<std::string> args = GetParam().args(ports);
  std::string shown;
  for (const auto& a : args) shown += Cat({" '", a, "'"});
  SCOPED_TRACE(
      Cat({"orvane", shown, " (echo ", Num(ports.echo), ", chargen ", Num(ports.chargen), ")"}));

  ServerProcess server(args);
  ASSERT_TRUE(server.Started()) << server.error();
  const UniqueFd chargenClient = WaitUntilServing(server, ports.chargen, In(10s));
  ASSERT_TRUE(chargenClient.Valid())
      << "chargen port not served; server " << DescribeWaitStatus(server.WaitForExit(In(1s)));
  EXPECT_TRUE(WaitUntilServing(server, ports.echo, In(10s)).Valid()) << "TCP echo not served";
  errno = 0;
  EXPECT_FALSE(BindUdp("127.0.0.1", ports.echo).Valid()) << "UDP echo port is not held";
  EXPECT_EQ(errno, EADDRINUSE);
  // Only the last value of an option counts: a value given earlier (the spare port, in
  // LastValueWins) is never bound.
  EXPECT_TRUE(BindUdp("127.0.0.1", ports.spare).Valid()) << "spare port taken";
  EXPECT_TRUE(ListenTcp("127.0.0.1", ports.spare).Valid()) << "spare port taken";
  EXPECT_TRUE(server.Running());
}

INSTANTIATE_TEST_SUITE_P(
    Values, AcceptedCommandLine,
    ::testing::Values(
        AcceptedCase{"Plain",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Num(p.echo), "-c", Num(p.chargen)};
                     }},
        AcceptedCase{"ChargenFirst",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-c", Num(p.chargen), "-e", Num(p.echo)};
                     }},
        AcceptedCase{"UpperCaseOptions",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-E", Num(p.echo), "-C", Num(p.chargen)};
                     }},
        // Only the low 16 bits of the value count.
        AcceptedCase{"Plus65536And131072",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Num(65536 + p.echo), "-c",
                                                       Num(131072 + p.chargen)};
                     }},
        AcceptedCase{"NegativeValues",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Cat({"-", Num(65536 - p.echo)}), "-c",
                                                       Cat({"-", Num(131072 - p.chargen)})};
                     }},
        // Values past 32 bits wrap around modulo 2^32.
        AcceptedCase{"WrapsAt32Bits",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Num(4294967296LL + p.echo), "-c",
                                                       Num(10LL * 4294967296LL + p.chargen)};
                     }},
        // 2^64 + P: a conversion that stops at the largest long would give 65535 here.
        AcceptedCase{"BeyondEveryIntegerType",
                     [](const Ports& p) {
                       return std::vector<std::string>{
                           "-e", AddDecimal("18446744073709551616", p.echo), "-c",
                           Cat({"-", AddDecimal("18446744073709551616", 65536u - p.chargen)})};
                     }},
        // Digits up to the first non-digit; leading white space, a sign and zeros are fine.
        AcceptedCase{"TrailingJunk",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Num(p.echo) + "x", "-c",
                                                       Num(p.chargen) + ".5junk"};
                     }},
        AcceptedCase{"SignAndLeadingZero",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Cat({"+", Num(p.echo)}), "-c",
                                                       Cat({"000", Num(p.chargen)})};
                     }},
        AcceptedCase{"LeadingWhiteSpace",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Cat({" ", Num(p.echo)}), "-c",
                                                       Cat({"\t\n ", Num(p.chargen)})};
                     }},
        // The last value of an option is the one that counts.
        AcceptedCase{"LastValueWins",
                     [](const Ports& p) {
                       return std::vector<std::string>{"-e", Num(p.spare), "-c", Num(p.spare),
                                                       "-e", Num(p.echo),  "-c", Num(p.chargen)};
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvane::e2e
