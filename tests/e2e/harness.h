#pragma once

// Runs the real orvane binary for end-to-end tests: a process that is always stopped and
// reaped, its output read with deadlines, its terminal a fresh pseudo-terminal when wanted,
// and loopback sockets to talk to it.

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/unique_fd.h"

namespace orvane::e2e {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline Deadline In(Clock::duration d) {
  return Clock::now() + d;
}

// The path of the binary under test.
const char* ServerBinary();

// ---------------------------------------------------------------------------------------------
// Descriptors and loopback sockets

using testsupport::UniqueFd;

struct ServicePortPair {
  std::uint16_t echo;
  std::uint16_t chargen;
};

// Distinct ports that are free right now on every local address for both TCP and UDP, chosen
// by the system (bind to port 0). Empty if the system would not give that many.
std::vector<std::uint16_t> FreePorts(std::size_t count);
// An echo port free for TCP and UDP and a different chargen port. Both 0 if none were found.
ServicePortPair FreeEchoAndChargenPorts();

// Connects a TCP socket to 127.0.0.1:port, waiting at most `timeout`. The socket is returned
// in blocking mode; invalid on failure, with errno telling why.
UniqueFd ConnectTcp(std::uint16_t port,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// A UDP socket bound to address:port (address in dotted form, e.g. "127.0.0.1"), without
// SO_REUSEADDR, so that it holds the port against any other socket. Invalid on failure, with
// errno telling why.
UniqueFd BindUdp(const char* address, std::uint16_t port);

// A TCP socket listening on address:port, without SO_REUSEADDR. Invalid on failure.
UniqueFd ListenTcp(const char* address, std::uint16_t port);

// Receives one datagram, or what a stream socket has, waiting until the deadline. Empty when
// nothing came in time or the stream ended.
std::optional<std::string> ReceiveWithin(int fd, Deadline deadline, std::size_t most = 65536);

// ---------------------------------------------------------------------------------------------
// The server process

// Where the server runs relative to a terminal.
enum class Terminal {
  // A session of its own without a controlling terminal: stdin is /dev/null, stdout a pipe.
  kNone,
  // A session of its own whose controlling terminal is a fresh pseudo-terminal; stdin and
  // stdout are the terminal and the server is its foreground process group.
  kForeground,
  // A helper process leads a new session, owns a fresh pseudo-terminal and is its foreground
  // group, like an interactive shell, until the test has it move the foreground (see
  // BringServerToForeground); the server runs as a background job of that session (its own
  // process group), with stdin and stdout on the terminal.
  kBackground,
  // Like kBackground, but the leader hands the terminal's foreground to the server's group
  // before the server starts, as a shell does for a job started without '&'. Unlike with
  // kForeground, the server's group has a parent in another group of its session, so the
  // stop signals of job control (Ctrl+Z) really stop it.
  kForegroundJob,
};

struct ServerOptions {
  // The binary to run; the server when empty. Other binaries of the project (orvane-probe)
  // run the same way.
  std::string program;
  std::vector<std::string> args;
  Terminal terminal = Terminal::kNone;
  // Changes the fresh pseudo-terminal's modes before the server starts (terminal modes only).
  std::function<void(termios&)> adjustModes;
  // RLIMIT_NOFILE of the server, set just before it starts.
  std::optional<rlim_t> fileLimit;
  // kForeground: standard error on the terminal as well, instead of a pipe.
  bool stderrOnTerminal = false;
};

// One run of the server. stderr is a pipe, unless stderrOnTerminal puts it on the terminal. The
// child starts with exactly descriptors 0, 1 and 2, default signal dispositions and no blocked
// signals, whatever the test runner passed down. The destructor kills the server by its PID with
// SIGKILL if it has not ended and reaps every process it started.
class ServerProcess {
 public:
  explicit ServerProcess(const ServerOptions& options);
  // No terminal, no limits: the common case.
  explicit ServerProcess(std::vector<std::string> args);
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess();

  // False if the server could not be started; error() says why.
  [[nodiscard]] bool Started() const { return pid_ > 0; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] pid_t pid() const { return pid_; }

  // Reads stdout once: waits until something arrives or the deadline passes, and returns the
  // bytes of that single read (empty at the deadline or at the end of output). They are also
  // appended to Stdout().
  std::string ReadStdoutOnce(Deadline deadline);
  // Reads stdout until done(Stdout()) holds; false if the deadline or the end of output comes
  // first.
  bool ReadStdoutUntil(const std::function<bool(const std::string&)>& done, Deadline deadline);
  // Reads stdout until the deadline, however much comes.
  void ReadStdoutFor(Clock::duration d);
  // After the server has ended: reads the rest of stdout and stderr, to their end or until
  // the deadline. On a terminal this lets go of the terminal, so read its modes first.
  void ReadRemainingOutput(Deadline deadline);
  [[nodiscard]] const std::string& Stdout() const { return stdout_; }
  [[nodiscard]] const std::string& Stderr() const { return stderr_; }

  // Terminal modes: types bytes on the terminal's keyboard, and reads the modes now and as
  // they were just before the server started.
  bool WriteKeys(std::string_view bytes);
  [[nodiscard]] std::optional<termios> TerminalModes() const;
  [[nodiscard]] const termios& ModesAtStart() const { return modesAtStart_; }

  // Changes the terminal's modes from outside the server, as an operator does with stty while
  // the server is stopped.
  bool SetTerminalModes(const termios& modes);

  // Job control, for kBackground and kForegroundJob: the session leader makes the server's
  // process group the terminal's foreground, as a shell's `fg` does (without its SIGCONT), or
  // takes the foreground back for its own group, as a shell does when a job stops or is sent
  // to the background. False if the leader could not, with errno saying why.
  bool BringServerToForeground();
  bool TakeForegroundBack();

  // Sends sig to the server unless it has already ended.
  bool Signal(int sig);
  // False once the server has ended.
  bool Running();
  // The server's wait status once it has ended; empty if it still runs at the deadline.
  std::optional<int> WaitForExit(Deadline deadline);

 private:
  void Start(const ServerOptions& options);
  bool PollExit(Deadline deadline);
  bool AskLeader(char command);
  int ReadOnce(int fd, std::string& sink, Deadline deadline);

  pid_t pid_ = -1;
  pid_t leaderPid_ = -1;  // the session leader that owns the terminal (kBackground and
                          // kForegroundJob)
  std::optional<int> status_;
  std::string error_;
  Terminal terminal_ = Terminal::kNone;

  UniqueFd stdoutRead_;  // pipe or pseudo-terminal master
  UniqueFd stderrRead_;
  UniqueFd ptySlave_;       // kept open so that the terminal and its modes outlive the server
  UniqueFd leaderReport_;   // with a leader: the server's PID, then its wait status
  UniqueFd leaderControl_;  // with a leader: commands and their answers; closing it lets the
                            // leader finish
  bool stdoutEnded_ = false;
  bool stderrEnded_ = false;
  std::string stdout_;
  std::string stderr_;
  termios modesAtStart_{};
};

// Human-readable wait status, for comparisons that explain themselves when they fail:
// "exited with status 1", "killed by signal 2 (Interrupt)" or "still running".
std::string DescribeWaitStatus(const std::optional<int>& status);
std::string ExitedWith(int code);
std::string KilledBy(int sig);

// The parts of /proc/PID/stat that tell about a process and its terminal.
struct ProcessState {
  char state;  // 'R', 'S', 'T' (stopped), ...
  pid_t pgrp;  // process group
  pid_t session;
  int ttyNr;    // controlling terminal; 0 for none
  pid_t tpgid;  // foreground process group of that terminal; -1 for none
};
std::optional<ProcessState> ReadProcessState(pid_t pid);

// The terminal modes that matter, in a form that compares and prints well.
std::string DescribeModes(const termios& modes);

// ---------------------------------------------------------------------------------------------
// The server's output

inline constexpr std::string_view kExpectedHeader =
    "UDP Echo     TCP Chargen  TCP Echo\n"
    "pps, kbps    conns, kbps  conns, kbps\n"
    "-----------  -----------  -----------\n";
inline constexpr std::string_view kIdleStatusLine = "   0,     0     0,     0     0,     0    \r";

struct StatusFigures {
  std::uint32_t udpPackets;
  std::uint32_t udpKbps;
  std::uint32_t chargenConns;
  std::uint32_t chargenKbps;
  std::uint32_t echoConns;
  std::uint32_t echoKbps;
};

// The complete status lines after the header (whatever follows its last '\n'), each with its
// '\r'. A line still being written is left out.
std::vector<std::string> CompleteStatusLines(std::string_view output);
// The figures of one status line if it has exactly the status line format.
std::optional<StatusFigures> ParseStatusLine(std::string_view line);

// ---------------------------------------------------------------------------------------------
// Waiting for the server

// Waits until a TCP connect to 127.0.0.1:port succeeds and returns that connection, which the
// server will count as a client. Empty if the server ends or the deadline passes first.
UniqueFd WaitUntilServing(ServerProcess& server, std::uint16_t port, Deadline deadline);

// ---------------------------------------------------------------------------------------------
// Talking to the services

// The arguments that put the services on these ports.
std::vector<std::string> PortArgs(const ServicePortPair& ports);

// A server on fresh ports that has been seen taking TCP connections on both of them; its UDP
// echo socket is opened before either listener, so that is ready as well. The connections made
// to find out are closed again at once.
struct ServingServer {
  ServicePortPair ports{};
  std::unique_ptr<ServerProcess> process;  // null if the server could not be made to serve
  std::string error;                       // why not
};
ServingServer StartServing(Deadline deadline);

// Like BindUdp, but with SO_REUSEADDR, so that it can share a port with the server's UDP echo
// socket, which asks for the same.
UniqueFd BindUdpSharing(const char* address, std::uint16_t port);

// Sends one datagram to 127.0.0.1:port; true if it went out whole.
bool SendDatagram(int fd, std::uint16_t port, std::string_view payload);

struct Datagram {
  std::string payload;
  std::uint16_t fromPort = 0;
};
// The next datagram and the port it came from, waiting until the deadline; empty if none came.
std::optional<Datagram> ReceiveDatagram(int fd, Deadline deadline);

// Sends all of data on a stream socket, waiting while it is full; false on a failure or at the
// deadline.
bool SendAll(int fd, std::string_view data, Deadline deadline);
// Receives from a stream socket until `size` bytes have come, the stream ends or fails, or the
// deadline passes; returns what came.
std::string ReceiveExactly(int fd, std::size_t size, Deadline deadline);

// How a stream whose expected data has all been read goes on.
enum class StreamEnd { kClosed, kReset, kStillOpen, kMoreData };
void PrintTo(StreamEnd end, std::ostream* os);
// Waits for the peer to close, reset or send more; kStillOpen if none of these comes in time.
StreamEnd WaitForStreamEnd(int fd, Deadline deadline);

// Closes a connection with a reset instead of an orderly close (SO_LINGER with a zero timeout).
void ResetConnection(UniqueFd& connection);

// One connection's part in ExchangeTraffic.
struct StreamTraffic {
  int fd = -1;
  std::string_view send;    // sent in full, in pieces as the socket takes them
  bool halfClose = false;   // shutdown(SHUT_WR) once everything is sent
  std::size_t receive = 0;  // receiving stops after this many bytes, or at the stream's end
  std::size_t sent = 0;     // out: bytes of `send` sent
  std::string received;     // out
  bool ended = false;       // out: the peer closed (or reset, see error)
  int error = 0;            // out: errno of a failed send or receive
};
// Sends and receives on all the connections at once, never blocking on any one, until each
// has sent its data and received its share or seen its end, has failed, or the deadline comes.
void ExchangeTraffic(std::vector<StreamTraffic>& traffic, Deadline deadline);
// The state of one exchange in words, for failure messages.
std::string Describe(const StreamTraffic& traffic);

// The chargen stream: byte i is byte i mod 1460 of the block, whose byte k is 0x20 + k mod 96.
inline constexpr std::size_t kChargenBlockSize = 1460;
char ChargenByte(std::size_t offset);
// Where `received`, taken from the chargen stream at `offset`, first differs from the stream,
// in words; empty if it does not differ.
std::string ChargenMismatch(std::string_view received, std::size_t offset);

// Descriptors that the process holds open now; empty if /proc does not tell.
std::optional<std::size_t> CountOpenDescriptors(pid_t pid);
// Waits until the process holds `count` descriptors and returns the last count seen, which
// differs from `count` if the deadline came first.
std::optional<std::size_t> WaitForDescriptorCount(pid_t pid, std::size_t count, Deadline deadline);

// ---------------------------------------------------------------------------------------------
// Waiting for status lines

// Reads what the server has written so far without waiting, and returns the number of complete
// status lines: the mark after which StatusLinesAfter looks.
std::size_t MarkStatusLines(ServerProcess& server);
// Waits until `count` complete status lines follow line number `mark` and returns their figures;
// fewer if the deadline or the end of output comes first, or a line is malformed.
std::vector<StatusFigures> StatusLinesAfter(ServerProcess& server, std::size_t mark,
                                            std::size_t count, Deadline deadline);
// Waits until the latest complete status line satisfies `wanted`; false if the deadline or the
// end of output comes first.
bool WaitForStatus(ServerProcess& server, const std::function<bool(const StatusFigures&)>& wanted,
                   Deadline deadline);

}  // namespace orvane::e2e
