// orvane_soak: runs the real server on free loopback ports for a while under every kind of
// client at once, then shows in one table that nothing was lost or corrupted, that the server
// holds as many descriptors as when it was idle, how much memory it took, and that it still
// answers. Exits 0 only if all of that holds. Not a test of the test suite: it runs for as
// long as it is told (60 s by default), against the binary it is given.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/soak/load.h"

namespace orvane::soak {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The readiness sets hold 64 sockets: the 3 service sockets, then clients, chargen first.
constexpr int kClientsInReadSet = 61;
constexpr int kTableSize = 64;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int /*sig*/) {
  g_stop = 1;
}

struct Options {
  int seconds = 60;
  int drainSeconds = 30;
  LoadConfig load;
  std::string server;  // empty: the binary of this build
  bool valgrind = false;
  std::string valgrindLog;
};

constexpr const char* kUsage =
    "usage: orvane_soak [--time S] [--chargen N] [--echo N] [--churn N] [--udp N]\n"
    "                   [--in-flight BYTES] [--drain S] [--seed N] [--server PATH]\n"
    "                   [--valgrind] [--valgrind-log FILE]\n"
    "  --time S          seconds of load (default 60)\n"
    "  --chargen N       chargen readers that stay connected (0 to 64, default 60)\n"
    "  --echo N          echo clients that stay connected (0 to 61, default 60)\n"
    "  --churn N         clients at a time that connect, misbehave and leave (default 4)\n"
    "  --udp N           UDP echo senders (default 4); refused datagrams are always sent\n"
    "  --in-flight BYTES most bytes an echo client has out at once (default 262144)\n"
    "  --drain S         seconds the echo clients have to get everything back (default 30)\n"
    "  --seed N          seed of the random data (default: a fresh one, printed)\n"
    "  --server PATH     the orvane binary (default: the one of this build)\n"
    "  --valgrind        run the server under valgrind memcheck; errors and leaks fail\n"
    "  --valgrind-log F  valgrind's log file (default /tmp/orvane-soak-valgrind.PID.log)\n";

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < low || n > high) return false;
  value = n;
  return true;
}

// False after printing why; `exitNow` is set for --help.
bool ParseOptions(int argc, char** argv, Options& options, bool& exitNow) {
  options.load.seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      exitNow = true;
      return true;
    }
    if (name == "--valgrind") {
      options.valgrind = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "orvane_soak: %s needs a value\n%s", name.c_str(), kUsage);
      return false;
    }
    const char* value = argv[++i];
    long long n = 0;
    auto number = [&](long long low, long long high) {
      if (ParseNumber(value, low, high, n)) return true;
      std::fprintf(stderr, "orvane_soak: %s takes a number from %lld to %lld, not '%s'\n",
                   name.c_str(), low, high, value);
      return false;
    };
    if (name == "--time") {
      if (!number(1, 24 * 3600)) return false;
      options.seconds = static_cast<int>(n);
    } else if (name == "--chargen") {
      if (!number(0, kTableSize)) return false;
      options.load.chargenReaders = static_cast<int>(n);
    } else if (name == "--echo") {
      // More would never all be served, not even once the chargen readers have gone.
      if (!number(0, kClientsInReadSet)) return false;
      options.load.echoClients = static_cast<int>(n);
    } else if (name == "--churn") {
      if (!number(0, 16)) return false;
      options.load.churnSlots = static_cast<int>(n);
    } else if (name == "--udp") {
      if (!number(0, 16)) return false;
      options.load.udpSenders = static_cast<int>(n);
    } else if (name == "--in-flight") {
      if (!number(1, 16 << 20)) return false;
      options.load.echoInFlight = static_cast<std::size_t>(n);
    } else if (name == "--drain") {
      if (!number(1, 3600)) return false;
      options.drainSeconds = static_cast<int>(n);
    } else if (name == "--seed") {
      if (!number(0, std::numeric_limits<long long>::max())) return false;
      options.load.seed = static_cast<std::uint64_t>(n);
    } else if (name == "--server") {
      options.server = value;
    } else if (name == "--valgrind-log") {
      options.valgrindLog = value;
    } else {
      std::fprintf(stderr, "orvane_soak: unknown option %s\n%s", name.c_str(), kUsage);
      return false;
    }
  }
  const LoadConfig& load = options.load;
  options.load.everyClientFits =
      load.chargenReaders + load.echoClients + load.churnSlots <= kClientsInReadSet;
  return true;
}

// A program on PATH, or empty.
std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A "Vm...:  1234 kB" line of /proc/PID/status, in KiB; -1 if there is none.
long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// What valgrind's log says at the end.
struct MemcheckSummary {
  bool found = false;
  unsigned long long errors = 0;
  unsigned long long allocs = 0, frees = 0, bytesAllocated = 0;
  unsigned long long definitelyLost = 0, indirectlyLost = 0, possiblyLost = 0, stillReachable = 0;
};

unsigned long long Figure(const std::string& text, const std::string& pattern) {
  // The last occurrence counts; figures are written with thousands separators.
  const std::regex re(pattern + " ([0-9,]+)");
  unsigned long long value = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    std::string digits = (*it)[1].str();
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    value = std::strtoull(digits.c_str(), nullptr, 10);
  }
  return value;
}

MemcheckSummary ReadMemcheckLog(const std::string& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  const std::string text = content.str();
  MemcheckSummary summary;
  summary.found = text.find("ERROR SUMMARY:") != std::string::npos &&
                  text.find("total heap usage:") != std::string::npos;
  summary.errors = Figure(text, "ERROR SUMMARY:");
  summary.allocs = Figure(text, "total heap usage:");
  summary.frees = Figure(text, "allocs,");
  summary.bytesAllocated = Figure(text, "frees,");
  summary.definitelyLost = Figure(text, "definitely lost:");
  summary.indirectlyLost = Figure(text, "indirectly lost:");
  summary.possiblyLost = Figure(text, "possibly lost:");
  summary.stillReachable = Figure(text, "still reachable:");
  return summary;
}

// The last complete status line the server printed, without its '\r'.
std::string LastStatusLine(const std::string& output) {
  const std::vector<std::string> lines = e2e::CompleteStatusLines(output);
  if (lines.empty()) return "(none)";
  std::string last = lines.back();
  if (!last.empty() && last.back() == '\r') last.pop_back();
  return last;
}

// The final look: a datagram, an echo and a stretch of the chargen stream from new clients.
struct StillAnswers {
  bool udp = false;
  bool echo = false;
  bool chargen = false;
};

StillAnswers CheckStillAnswers(const e2e::ServicePortPair& ports, int slowdown) {
  StillAnswers answers;
  const auto wait = seconds(5) * slowdown;
  {
    const e2e::UniqueFd udp = e2e::BindUdp("127.0.0.1", 0);
    if (udp.Valid() && e2e::SendDatagram(udp.Get(), ports.echo, "still there?")) {
      const auto answer = e2e::ReceiveDatagram(udp.Get(), e2e::In(wait));
      answers.udp = answer && answer->payload == "still there?" && answer->fromPort == ports.echo;
    }
  }
  {
    const e2e::UniqueFd echo = e2e::ConnectTcp(ports.echo);
    std::string message(100'000, '\0');
    for (std::size_t i = 0; i < message.size(); ++i)
      message[i] = static_cast<char>(i * 7 + i / 251);
    if (echo.Valid() && e2e::SendAll(echo.Get(), message, e2e::In(wait))) {
      answers.echo = e2e::ReceiveExactly(echo.Get(), message.size(), e2e::In(wait)) == message;
    }
  }
  {
    const e2e::UniqueFd chargen = e2e::ConnectTcp(ports.chargen);
    if (chargen.Valid()) {
      const std::size_t size = 100 * e2e::kChargenBlockSize;
      const std::string stream = e2e::ReceiveExactly(chargen.Get(), size, e2e::In(wait));
      answers.chargen = stream.size() == size && e2e::ChargenMismatch(stream, 0).empty();
    }
  }
  return answers;
}

const char* YesNo(bool yes) {
  return yes ? "yes" : "NO";
}

std::string Count(std::optional<std::size_t> n) {
  return n ? std::to_string(*n) : std::string("?");
}

void Row(const char* label, const std::string& value) {
  std::printf("  %-46s %s\n", label, value.c_str());
}

// Verified, corrupted and missing; a stream without end has no missing bytes to count.
std::string Figures(unsigned long long verified, unsigned long long corrupted,
                    std::optional<unsigned long long> missing) {
  char text[128];
  std::snprintf(text, sizeof text, "%14llu %11llu %11s", verified, corrupted,
                missing ? std::to_string(*missing).c_str() : "-");
  return text;
}

int Run(const Options& options) {
  const LoadConfig& wanted = options.load;
  // Under memcheck the server runs several times slower: every time limit grows with it.
  const int slowdown = options.valgrind ? 4 : 1;
  const std::string server = options.server.empty() ? e2e::ServerBinary() : options.server;
  if (access(server.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "orvane_soak: %s: %s\n", server.c_str(), std::strerror(errno));
    return 1;
  }
  std::vector<std::string> command{server};
  std::string valgrindLog = options.valgrindLog;
  if (options.valgrind) {
    const std::string valgrind = FindOnPath("valgrind");
    if (valgrind.empty()) {
      std::fprintf(stderr, "orvane_soak: valgrind is not installed\n");
      return 1;
    }
    if (valgrindLog.empty()) {
      valgrindLog = "/tmp/orvane-soak-valgrind." + std::to_string(getpid()) + ".log";
    }
    command = {valgrind,
               "--leak-check=full",
               "--show-leak-kinds=all",
               "--error-exitcode=99",
               "--log-file=" + valgrindLog,
               server};
  }

  // The server: started, seen serving, and idle again once the connections that saw it
  // serving are gone. Its descriptors and memory now are the baseline.
  e2e::ServingServer serving = e2e::StartServing(e2e::In(seconds(10) * slowdown), command);
  if (!serving.process) {
    std::fprintf(stderr, "orvane_soak: the server did not start: %s\n", serving.error.c_str());
    return 1;
  }
  e2e::ServerProcess& process = *serving.process;
  const pid_t pid = process.pid();
  const bool idle = e2e::WaitForStatus(
      process, [](const e2e::StatusFigures& f) { return f.chargenConns == 0 && f.echoConns == 0; },
      e2e::In(seconds(10) * slowdown));
  const std::optional<std::size_t> baseline = e2e::CountOpenDescriptors(pid);
  const long rssAtStart = StatusKiB(pid, "VmRSS");

  LoadConfig config = wanted;
  config.echoPort = serving.ports.echo;
  config.chargenPort = serving.ports.chargen;
  config.slowdown = slowdown;
  Tally tally;
  if (!idle || !baseline) tally.Fault("the server did not come to rest before the load");

  std::printf("orvane soak: %d s against %s -e %u -c %u (PID %d)%s\n", options.seconds,
              server.c_str(), config.echoPort, config.chargenPort, static_cast<int>(pid),
              options.valgrind ? " under valgrind memcheck" : "");
  std::printf(
      "clients: %d chargen readers, %d echo clients, %d churn slots, %d UDP senders; "
      "seed %llu\n",
      config.chargenReaders, config.echoClients, config.churnSlots, config.udpSenders,
      static_cast<unsigned long long>(config.seed));
  if (config.everyClientFits) {
    std::printf("every client fits into the readiness sets: each must be served all along\n");
  } else {
    std::printf(
        "more clients than the readiness sets hold (%d clients, chargen first): echo clients\n"
        "beyond them wait with their data until the chargen readers leave at the end\n",
        kClientsInReadSet);
  }
  std::fflush(stdout);

  bool died = false;
  auto keepGoing = [&] {
    process.ReadStdoutFor(std::chrono::steady_clock::duration::zero());  // never let it block
    if (!process.Running()) died = true;
    return g_stop == 0 && !died;
  };

  Load load(config, tally);
  std::string why;
  const auto phase = [&](auto d) { return Clock::now() + d * slowdown; };
  bool loaded = false;
  const TimePoint started = Clock::now();
  TimePoint loadEnd = started;
  const auto waitAccepted = [&](int clients) {
    if (baseline) {
      (void)e2e::WaitForDescriptorCount(pid, *baseline + static_cast<std::size_t>(clients),
                                        e2e::In(seconds(2) * slowdown));
    }
  };
  if (load.Open(phase(seconds(60)), why, waitAccepted)) {
    loaded = true;
    load.Run(Clock::now() + seconds(options.seconds), keepGoing);
    // The end in order: no new traffic, the UDP answers still due; the chargen readers leave,
    // so that every echo client fits into the sets and gets all it sent back; they half-close
    // and the server closes them.
    loadEnd = Clock::now();
    load.StopNewTraffic();
    if (!load.RunUntil([&] { return load.UdpSettled(); }, phase(seconds(10)), keepGoing) &&
        keepGoing()) {
      tally.Fault("UDP answers still missing at the end");
    }
    load.CloseChargenReaders();
    if (!load.RunUntil([&] { return load.EchoDrained(); }, phase(seconds(options.drainSeconds)),
                       keepGoing) &&
        keepGoing()) {
      tally.Fault("the echo clients did not get everything back in the drain time");
    }
    load.HalfCloseEchoClients();
    (void)load.RunUntil([&] { return load.EchoClosed(); }, phase(seconds(10)), keepGoing);
    // A moment for answers to refused datagrams that might still be on their way.
    load.Run(Clock::now() + milliseconds(300), keepGoing);
  } else {
    tally.Fault("the load could not start: " + why);
  }
  load.Finish();
  (void)keepGoing();
  const TimePoint windDownEnd = Clock::now();

  // Once every client has gone, the server must hold what it held idle.
  std::optional<std::size_t> afterLoad;
  std::optional<std::size_t> afterCheck;
  StillAnswers answers;
  long rssPeak = -1;
  long rssEnd = -1;
  if (!died && baseline) {
    afterLoad = e2e::WaitForDescriptorCount(pid, *baseline, e2e::In(seconds(10) * slowdown));
    answers = CheckStillAnswers(serving.ports, slowdown);
    afterCheck = e2e::WaitForDescriptorCount(pid, *baseline, e2e::In(seconds(10) * slowdown));
    rssPeak = StatusKiB(pid, "VmHWM");
    rssEnd = StatusKiB(pid, "VmRSS");
  }
  const TimePoint checkEnd = Clock::now();
  process.ReadStdoutFor(std::chrono::steady_clock::duration::zero());
  const std::string lastStatus = LastStatusLine(process.Stdout());
  died = died || !process.Running();

  // Stopped by its PID: SIGTERM, and SIGKILL if that is not enough.
  std::string ending =
      "ended by itself: " + e2e::DescribeWaitStatus(process.WaitForExit(Clock::now()));
  if (!died) {
    (void)process.Signal(SIGTERM);
    auto status = process.WaitForExit(e2e::In(options.valgrind ? seconds(120) : seconds(5)));
    ending = "SIGTERM: " + e2e::DescribeWaitStatus(status);
    if (!status) {
      (void)process.Signal(SIGKILL);
      status = process.WaitForExit(e2e::In(seconds(10)));
      ending += "; SIGKILL: " + e2e::DescribeWaitStatus(status);
    }
  }
  process.ReadRemainingOutput(e2e::In(seconds(1)));

  // Verdict.
  std::vector<std::string> failures;
  if (g_stop != 0) failures.emplace_back("interrupted");
  if (died) failures.push_back("the server died during the soak (" + ending + ")");
  if (!loaded) failures.push_back("the load never started: " + why);
  if (tally.chargenCorrupted + tally.echoCorrupted + tally.udpCorrupted > 0) {
    failures.emplace_back("corrupted data");
  }
  if (tally.echoMissing + tally.udpMissing > 0) failures.emplace_back("missing data");
  if (tally.connectionsLost > 0) failures.emplace_back("connections of long-lived clients lost");
  unsigned long long refusedSent = 0;
  unsigned long long refusedAnswered = 0;
  for (int k = 0; k < kRefusedKinds; ++k) {
    refusedSent += tally.refusedSent[k];
    refusedAnswered += tally.refusedAnswered[k];
  }
  if (refusedAnswered > 0) failures.emplace_back("refused datagrams were answered");
  if (loaded && load.ChargenServed() < config.chargenReaders) {
    failures.emplace_back("chargen readers were never served");
  }
  if (config.everyClientFits && loaded && load.EchoServed() < config.echoClients) {
    failures.emplace_back("echo clients were never served although every client fits");
  }
  ChurnTally churn;
  for (const ChurnTally& c : tally.churn) {
    churn.cycles += c.cycles;
    churn.completed += c.completed;
    churn.unserved += c.unserved;
    churn.faults += c.faults;
  }
  if (churn.faults > 0) failures.emplace_back("churn clients saw faults");
  if (!died && (!afterLoad || afterLoad != baseline || afterCheck != baseline)) {
    failures.emplace_back("the descriptor count did not come back to its idle baseline");
  }
  if (!died && !(answers.udp && answers.echo && answers.chargen)) {
    failures.emplace_back("the server no longer answers every service");
  }
  if (tally.faultCount > 0 && failures.empty()) failures.emplace_back("faults (below)");
  MemcheckSummary memcheck;
  if (options.valgrind) {
    memcheck = ReadMemcheckLog(valgrindLog);
    if (!memcheck.found) {
      failures.push_back("valgrind's log " + valgrindLog + " has no summary");
    } else if (memcheck.errors > 0) {
      failures.emplace_back("valgrind found errors");
    }
    if (memcheck.definitelyLost + memcheck.indirectlyLost + memcheck.possiblyLost > 0) {
      failures.emplace_back("valgrind found leaks");
    }
  }

  // The table.
  std::printf("\n  %-46s %14s %11s %11s\n", "", "verified", "corrupted", "missing");
  Row("chargen bytes", Figures(tally.chargenVerified, tally.chargenCorrupted, std::nullopt));
  Row(("echo bytes (" + std::to_string(tally.echoSent) + " sent)").c_str(),
      Figures(tally.echoVerified, tally.echoCorrupted, tally.echoMissing));
  Row(("UDP datagrams (" + std::to_string(tally.udpSent) + " sent)").c_str(),
      Figures(tally.udpVerified, tally.udpCorrupted, tally.udpMissing));
  std::printf("\n");
  Row("long-lived clients served during load",
      "chargen " + std::to_string(load.ChargenServed()) + " of " +
          std::to_string(config.chargenReaders) + ", echo " + std::to_string(load.EchoServed()) +
          " of " + std::to_string(config.echoClients) +
          (load.EchoServed() == config.echoClients ? ""
           : tally.echoMissing == 0 && tally.connectionsLost == 0
               ? " (the others waited, then got all back)"
               : " (the others waited)"));
  Row("long-lived connections lost", std::to_string(tally.connectionsLost));
  Row("refused datagrams sent / answered",
      std::to_string(refusedSent) + " / " + std::to_string(refusedAnswered));
  for (int k = 0; k < kRefusedKinds; ++k) {
    const std::string label = std::string("  ") + RefusedKindName(k);
    Row(label.c_str(), k == kRefusedFromLowPort && !tally.lowPortAvailable
                           ? std::string("not sent (binding a port below 1024 needs privilege)")
                           : std::to_string(tally.refusedSent[k]) + " / " +
                                 std::to_string(tally.refusedAnswered[k]));
  }
  Row("churn cycles: completed, unserved, faults",
      std::to_string(churn.cycles) + ": " + std::to_string(churn.completed) + ", " +
          std::to_string(churn.unserved) + ", " + std::to_string(churn.faults));
  for (int a = 0; a < kChurnActions; ++a) {
    const ChurnTally& c = tally.churn[a];
    const std::string label = std::string("  ") + ChurnActionName(a);
    Row(label.c_str(), std::to_string(c.cycles) + ": " + std::to_string(c.completed) + ", " +
                           std::to_string(c.unserved) + ", " + std::to_string(c.faults));
  }
  Row("server descriptors: idle, after load, after check",
      Count(baseline) + ", " + Count(afterLoad) + ", " + Count(afterCheck));
  Row("server RSS: at start, peak (VmHWM), at end", std::to_string(rssAtStart) + " KiB, " +
                                                        std::to_string(rssPeak) + " KiB, " +
                                                        std::to_string(rssEnd) + " KiB");
  Row("server still answers", std::string("UDP echo ") + YesNo(answers.udp) + ", TCP echo " +
                                  YesNo(answers.echo) + ", chargen " + YesNo(answers.chargen));
  Row("server's last status line", "'" + lastStatus + "'");
  Row("server stopped", ending);
  if (options.valgrind) {
    Row("valgrind errors", std::to_string(memcheck.errors) + " (log " + valgrindLog + ")");
    Row("valgrind heap usage", std::to_string(memcheck.allocs) + " allocs, " +
                                   std::to_string(memcheck.frees) + " frees, " +
                                   std::to_string(memcheck.bytesAllocated) + " bytes allocated");
    Row("valgrind leaks: definite, indirect, possible",
        std::to_string(memcheck.definitelyLost) + ", " + std::to_string(memcheck.indirectlyLost) +
            ", " + std::to_string(memcheck.possiblyLost) + " bytes; still reachable " +
            std::to_string(memcheck.stillReachable) + " bytes");
  }
  const auto secs = [](Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return std::string(text);
  };
  Row("time: connect+load, wind-down, settle+check", secs(loadEnd - started) + ", " +
                                                         secs(windDownEnd - loadEnd) + ", " +
                                                         secs(checkEnd - windDownEnd));
  Row("verdict", failures.empty() ? "PASS" : "FAIL");
  for (const std::string& failure : failures) std::printf("  FAIL: %s\n", failure.c_str());
  for (const std::string& fault : tally.faults) std::printf("  fault: %s\n", fault.c_str());
  if (tally.faultCount > tally.faults.size()) {
    std::printf("  ... and %llu more faults\n",
                static_cast<unsigned long long>(tally.faultCount - tally.faults.size()));
  }
  if (died && !process.Stderr().empty()) {
    std::printf("  server's standard error: %s\n", process.Stderr().c_str());
  }
  return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace orvane::soak

int main(int argc, char** argv) {
  orvane::soak::Options options;
  bool exitNow = false;
  if (!orvane::soak::ParseOptions(argc, argv, options, exitNow)) return 2;
  if (exitNow) return 0;
  (void)signal(SIGPIPE, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = orvane::soak::OnStopSignal;
  sigemptyset(&stop.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) (void)sigaction(sig, &stop, nullptr);
  return orvane::soak::Run(options);
}
