// What a run reports: its exit status, the JSON object scripts read, the summary people read,
// and the progress line.

#include <gtest/gtest.h>

#include <string>

#include "probe/report.h"

namespace orvane::probe {
namespace {

const Target kLoopback{"127.0.0.1", "127.0.0.1", 7007};
const Target kNamed{"localhost", "::1", 7019};

UdpResult Udp(UdpTally tally, std::optional<RttSummary> rtt = RttSummary{1, 2, 3, 4, 5}) {
  UdpResult r;
  r.target = kLoopback;
  r.size = 64;
  r.window = 32;
  r.seconds = 2;
  r.tally = tally;
  r.rtt = rtt;
  return r;
}

TEST(ProbeExitStatus, IntactWhenSomethingCameBackAndNothingWasDamaged) {
  struct Case {
    const char* name;
    int udp;
    UdpTally tally;
  } const udp[] = {
      {"all answered", kExitIntact, {10, 10, 0, 0, 0}},
      {"loss is a measurement", kExitIntact, {10, 1, 0, 0, 0}},
      {"duplicates and reordering are intact", kExitIntact, {10, 10, 5, 5, 0}},
      {"nothing came back", kExitDamaged, {10, 0, 0, 0, 0}},
      {"nothing sent", kExitDamaged, {0, 0, 0, 0, 0}},
      {"one damaged", kExitDamaged, {10, 9, 0, 0, 1}},
      {"only damaged ones", kExitDamaged, {10, 0, 0, 0, 10}},
  };
  for (const auto& c : udp) EXPECT_EQ(ExitStatusOf(Udp(c.tally)), c.udp) << c.name;

  EchoResult echo;
  echo.bytesVerified = 1;
  echo.failed = 5;
  EXPECT_EQ(ExitStatusOf(echo), kExitIntact) << "connections that failed lose nothing";
  echo.mismatches = 1;
  EXPECT_EQ(ExitStatusOf(echo), kExitDamaged);
  EXPECT_EQ(ExitStatusOf(EchoResult{}), kExitDamaged);

  ChargenResult chargen;
  chargen.bytes = 1;
  EXPECT_EQ(ExitStatusOf(chargen), kExitIntact);
  chargen.corrupted = 1;
  EXPECT_EQ(ExitStatusOf(chargen), kExitDamaged);
  EXPECT_EQ(ExitStatusOf(ChargenResult{}), kExitDamaged);

  ConnectResult connect;
  connect.completed = 1;
  connect.failed = 100;
  EXPECT_EQ(ExitStatusOf(connect), kExitIntact);
  connect.mismatches = 1;
  EXPECT_EQ(ExitStatusOf(connect), kExitDamaged);
  EXPECT_EQ(ExitStatusOf(ConnectResult{}), kExitDamaged);
}

TEST(ProbeJson, OneObjectOnOneLineWithEveryAgreedMember) {
  UdpResult udp = Udp({1000, 990, 2, 3, 1}, RttSummary{12.5, 20.25, 30, 40.125, 1203.3333});
  udp.seconds = 3;

  EchoResult echo;
  echo.target = kLoopback;
  echo.connections = 16;
  echo.seconds = 2.5;
  echo.bytesSent = 1'000'000'000;
  echo.bytesVerified = 750'000'000;
  echo.mismatches = 1;
  echo.firstMismatch = 65537;
  echo.failed = 2;

  ChargenResult chargen;
  chargen.target = kNamed;
  chargen.connections = 1;
  chargen.seconds = 0.5;
  chargen.bytes = 123'456'789;
  chargen.check = ChargenCheck::kLines;

  ConnectResult connect;
  connect.target = kLoopback;
  connect.size = 8;
  connect.parallel = 4;
  connect.seconds = 2;
  connect.completed = 28'001;
  connect.failed = 3;

  struct Case {
    std::string json;
    std::string expected;
  } const cases[] = {
      {SummaryJson(udp),
       R"({"mode":"udp","host":"127.0.0.1","address":"127.0.0.1","port":7007,"size":64,)"
       R"("seconds":3.000,"sent":1000,"answered":990,"lost":9,"duplicated":2,"reordered":3,)"
       R"("corrupted":1,"per_second":330.000,"rtt_us":{"min":12.500,"median":20.250,)"
       R"("p90":30.000,"p99":40.125,"max":1203.333},"window":32,"rate":0.000})"
       "\n"},
      {SummaryJson(Udp({5, 0, 0, 0, 0}, std::nullopt)),
       R"({"mode":"udp","host":"127.0.0.1","address":"127.0.0.1","port":7007,"size":64,)"
       R"("seconds":2.000,"sent":5,"answered":0,"lost":5,"duplicated":0,"reordered":0,)"
       R"("corrupted":0,"per_second":0.000,"rtt_us":{"min":null,"median":null,"p90":null,)"
       R"("p99":null,"max":null},"window":32,"rate":0.000})"
       "\n"},
      {SummaryJson(echo),
       R"({"mode":"echo","host":"127.0.0.1","address":"127.0.0.1","port":7007,)"
       R"("connections":16,"seconds":2.500,"bytes_sent":1000000000,"bytes_verified":750000000,)"
       R"("mb_per_s":300.000,"mismatches":1,"first_mismatch_offset":65537,"failed":2})"
       "\n"},
      {SummaryJson(EchoResult{}),
       R"({"mode":"echo","host":"","address":"","port":0,"connections":0,"seconds":0.000,)"
       R"("bytes_sent":0,"bytes_verified":0,"mb_per_s":0.000,"mismatches":0,)"
       R"("first_mismatch_offset":null,"failed":0})"
       "\n"},
      {SummaryJson(chargen),
       R"({"mode":"chargen","host":"localhost","address":"::1","port":7019,"connections":1,)"
       R"("seconds":0.500,"bytes":123456789,"mb_per_s":246.914,"check":"lines","corrupted":0,)"
       R"("first_corrupt_offset":null,"failed":0})"
       "\n"},
      {SummaryJson(connect),
       R"({"mode":"connect","host":"127.0.0.1","address":"127.0.0.1","port":7007,"size":8,)"
       R"("seconds":2.000,"connections":28001,"per_second":14000.500,"mismatches":0,)"
       R"("failed":3,"parallel":4})"
       "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.json, c.expected);
}

TEST(ProbeJson, StringsAreEscaped) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonString(std::string("\n\t\x01\x1f", 4)), R"("\u000a\u0009\u0001\u001f")");
  EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"") << "UTF-8 passes as it is";
}

TEST(ProbeSummary, ReadsPlainly) {
  UdpResult udp = Udp({1000, 990, 2, 3, 0}, RttSummary{12.5, 20.25, 30, 40.125, 1203.3333});
  EXPECT_EQ(SummaryText(udp),
            "UDP echo to 127.0.0.1 port 7007: 64-byte datagrams, 32 in flight, 2.000 s\n"
            "  sent 1000, answered 990, lost 10, duplicated 2, reordered 3, corrupted 0\n"
            "  495 answers per second\n"
            "  round trip in microseconds: min 12.5, median 20.2, p90 30.0, p99 40.1, max 1203.3\n"
            "All that came back was intact.\n");

  UdpResult nothing = Udp({5, 0, 0, 0, 0}, std::nullopt);
  nothing.target = kNamed;
  nothing.window = 0;
  nothing.rate = 100;
  EXPECT_EQ(SummaryText(nothing),
            "UDP echo to localhost (::1) port 7019: 64-byte datagrams, 100.000 per second, "
            "2.000 s\n"
            "  sent 5, answered 0, lost 5, duplicated 0, reordered 0, corrupted 0\n"
            "  0 answers per second\n"
            "Nothing came back.\n");

  EchoResult echo;
  echo.target = kLoopback;
  echo.connections = 2;
  echo.seconds = 1;
  echo.bytesSent = 3'000'000;
  echo.bytesVerified = 2'000'000;
  echo.mismatches = 1;
  echo.firstMismatch = 4096;
  EXPECT_EQ(SummaryText(echo),
            "TCP echo to 127.0.0.1 port 7007: 2 connections, 1.000 s\n"
            "  sent 3000000 bytes, verified 2000000 bytes, 2.00 MB/s\n"
            "  mismatches 1, the first at byte 4096 of its stream, failed connections 0\n"
            "Damage found.\n");

  ChargenResult chargen;
  chargen.target = kLoopback;
  chargen.connections = 1;
  chargen.seconds = 1;
  chargen.bytes = 5'000'000;
  chargen.check = ChargenCheck::kBlock;
  chargen.failed = 1;
  EXPECT_EQ(SummaryText(chargen),
            "TCP chargen from 127.0.0.1 port 7007: 1 connections, 1.000 s, checked against our "
            "1460-byte block\n"
            "  received 5000000 bytes, 5.00 MB/s\n"
            "  corrupted 0, failed connections 1\n"
            "All that came back was intact.\n");

  ConnectResult connect;
  connect.target = kLoopback;
  connect.size = 8;
  connect.parallel = 1;
  connect.seconds = 2;
  connect.completed = 10'000;
  EXPECT_EQ(SummaryText(connect),
            "TCP connect to 127.0.0.1 port 7007: 8 bytes each, 1 at a time, 2.000 s\n"
            "  10000 connections, 5000 per second\n"
            "  mismatches 0, failed 0\n"
            "All that came back was intact.\n");
}

TEST(ProbeProgress, LinesKeepTheirLengthSoThatEachCoversTheLast) {
  // The largest figures a long, fast run reaches: 11 days; 999 million datagrams or 99,999 MB
  // a second; a petabyte.
  UdpTally big{99'999'999'999, 99'999'999'999, 0, 0, 9'999'999};
  const std::string lines[][2] = {
      {UdpProgress(1, 0, UdpTally{}), UdpProgress(999'999, 999'999'999, big)},
      {StreamProgress(1, 0, 0, 0, 0),
       StreamProgress(999'999, 99'999.99, 999'999'999'999'999, 999'999, 999'999)},
      {ConnectProgress(1, 0, 0, 0),
       ConnectProgress(999'999, 999'999'999, 999'999'999'999, 99'999'999)},
  };
  for (const auto& pair : lines) {
    EXPECT_EQ(pair[0].size(), pair[1].size()) << pair[0] << "\n" << pair[1];
    EXPECT_EQ(pair[0].back(), '\r');
    EXPECT_EQ(pair[0].find('\n'), std::string::npos);
    EXPECT_LE(pair[0].size(), 80u) << "wider than a terminal";
  }
}

}  // namespace
}  // namespace orvane::probe
