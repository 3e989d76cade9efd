#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace orvane::e2e {

namespace {

using std::chrono::milliseconds;

int MillisUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// Waits for fd to become readable; true if it did before the deadline.
bool WaitReadable(int fd, Deadline deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, MillisUntil(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

sockaddr_in Loopback(const char* address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  (void)inet_pton(AF_INET, address, &sin.sin_addr);
  return sin;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in sin{};
  socklen_t length = sizeof sin;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &length) != 0) return 0;
  return ntohs(sin.sin_port);
}

UniqueFd BoundSocket(int type, const char* address, std::uint16_t port) {
  UniqueFd s(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s.Valid()) return s;
  const sockaddr_in sin = Loopback(address, port);
  if (bind(s.Get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    const int err = errno;
    s.Reset();
    errno = err;
  }
  return s;
}

bool SetNonBlocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// Closes every descriptor from `from` upwards except those in keep (sorted, all >= from).
void CloseDescriptorsFrom(int from, std::initializer_list<int> keep) {
  unsigned first = static_cast<unsigned>(from);
  for (int k : keep) {
    if (static_cast<unsigned>(k) > first) (void)close_range(first, static_cast<unsigned>(k) - 1, 0);
    first = static_cast<unsigned>(k) + 1;
  }
  (void)close_range(first, ~0U, 0);
}

// What the exec'd child must not inherit from the test runner: ignored or blocked signals
// (a runner started in the background ignores SIGINT) and core dumps in the build tree.
void ResetChildState() {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    (void)signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit noCore{0, 0};
  (void)setrlimit(RLIMIT_CORE, &noCore);
}

// In a forked child: stdin, stdout and stderr from the given descriptors, nothing else open,
// then the server. Never returns.
[[noreturn]] void ExecServer(pid_t parent, int in, int out, int err, const char* program,
                             char* const* argv, const std::optional<rlim_t>& fileLimit) {
  // Should the test process die without its destructors, the server must not outlive it.
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126);
  // Move the three out of the way first so that the dup2 calls cannot clobber each other.
  const int movedIn = fcntl(in, F_DUPFD, 10);
  const int movedOut = fcntl(out, F_DUPFD, 10);
  const int movedErr = fcntl(err, F_DUPFD, 10);
  if (movedIn < 0 || movedOut < 0 || movedErr < 0) _exit(126);
  if (dup2(movedIn, 0) < 0 || dup2(movedOut, 1) < 0 || dup2(movedErr, 2) < 0) _exit(126);
  CloseDescriptorsFrom(3, {});
  ResetChildState();
  if (fileLimit) {
    const rlimit limit{*fileLimit, *fileLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
  }
  execv(program, argv);
  _exit(127);
}

// The wait status of a child that waitid() reported, as waitpid() would give it.
int WaitStatusOf(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED:
      return W_EXITCODE(info.si_status, 0);
    case CLD_DUMPED:
      return W_EXITCODE(0, info.si_status) | WCOREFLAG;
    default:
      return W_EXITCODE(0, info.si_status);
  }
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Commands of the test to the session leader, one byte each over the control socket. The
// leader answers each with an int: 0, or the errno of what failed.
constexpr char kServerToForeground = 'f';
constexpr char kLeaderToForeground = 'b';

// Makes `group` the foreground process group of the leader's controlling terminal; 0 or errno.
int SetForegroundGroup(pid_t group) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return errno;
  const int result = tcsetpgrp(tty, group) == 0 ? 0 : errno;
  (void)close(tty);
  return result;
}

// The session leader of kBackground and kForegroundJob, in the forked helper. Like a shell, it
// owns the terminal, starts the server in a process group of its own (in the foreground for
// kForegroundJob), moves the foreground between that group and its own when the test asks,
// reports the server's PID and wait status, and keeps the dead server unreaped, so that its
// PID cannot be reused, until the test closes the control socket. If the test goes away
// first, the leader kills the server it started. Never returns.
[[noreturn]] void RunSessionLeader(pid_t test, int slave, int err, int report, int control,
                                   bool serverInFront, const char* program, char* const* argv,
                                   const std::optional<rlim_t>& fileLimit) {
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != test) _exit(125);
  if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(125);
  // As a shell does: moving the foreground while in the background must not stop the leader.
  (void)signal(SIGTTOU, SIG_IGN);
  const pid_t leader = getpid();
  const pid_t server = fork();
  if (server < 0) _exit(125);
  if (server == 0) {
    (void)setpgid(0, 0);  // a process group of its own
    // Both sides hand over the foreground, so that it is done before the server starts,
    // whichever runs first.
    if (serverInFront && tcsetpgrp(slave, getpid()) != 0) _exit(125);
    ExecServer(leader, slave, slave, err, program, argv, fileLimit);
  }
  (void)setpgid(server, server);
  if (serverInFront) (void)tcsetpgrp(slave, server);
  if (!WriteAll(report, &server, sizeof server)) {
    (void)kill(server, SIGKILL);
    (void)waitpid(server, nullptr, 0);
    _exit(125);
  }
  // Keep only the two channels: the terminal must belong to the server and the test alone,
  // so that the test sees the end of its output once the server has ended. The leader opens
  // it again for a moment when it has to move the foreground.
  const int nullFd = open("/dev/null", O_RDWR);
  if (nullFd >= 0) {
    (void)dup2(nullFd, 0);
    (void)dup2(nullFd, 1);
    (void)dup2(nullFd, 2);
  }
  CloseDescriptorsFrom(3, {std::min(report, control), std::max(report, control)});

  // Bounded like everything else: no test keeps a server for ten minutes.
  bool reported = false;
  for (int round = 0; round < 120'000; ++round) {
    if (!reported) {
      siginfo_t info{};
      if (waitid(P_PID, static_cast<id_t>(server), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == server) {
        const int status = WaitStatusOf(info);
        (void)WriteAll(report, &status, sizeof status);
        reported = true;
      }
    }
    pollfd p{control, POLLIN, 0};
    const int n = poll(&p, 1, 5);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) continue;
    char command = 0;
    ssize_t got = 0;
    do {
      got = read(control, &command, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) break;  // the test closed its end, or went away
    int answer = EINVAL;
    if (command == kServerToForeground) answer = SetForegroundGroup(server);
    if (command == kLeaderToForeground) answer = SetForegroundGroup(leader);
    if (send(control, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) break;
  }
  if (!reported) (void)kill(server, SIGKILL);
  (void)waitpid(server, nullptr, 0);
  _exit(0);
}

bool ReadExactly(int fd, void* data, std::size_t size, Deadline deadline) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    if (!WaitReadable(fd, deadline)) return false;
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Waits for a direct child; true once it has been reaped.
bool ReapWithin(pid_t pid, int* status, Deadline deadline) {
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // not our child (any more): nothing to wait for
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
}

}  // namespace

const char* ServerBinary() {
  return ORVANE_BINARY;
}

// ---------------------------------------------------------------------------------------------

std::vector<std::uint16_t> FreePorts(std::size_t count) {
  // Every candidate stays held until all are chosen, so that they come out distinct.
  std::vector<UniqueFd> held;
  std::vector<std::uint16_t> ports;
  for (int attempt = 0; attempt < 200 && ports.size() < count; ++attempt) {
    UniqueFd tcp = BoundSocket(SOCK_STREAM, "0.0.0.0", 0);
    if (!tcp.Valid()) continue;
    const std::uint16_t port = BoundPort(tcp.Get());
    UniqueFd udp = BoundSocket(SOCK_DGRAM, "0.0.0.0", port);
    if (port == 0 || !udp.Valid()) {
      held.push_back(std::move(tcp));  // keep it so that the system offers another port
      continue;
    }
    ports.push_back(port);
    held.push_back(std::move(tcp));
    held.push_back(std::move(udp));
  }
  if (ports.size() < count) ports.clear();
  return ports;
}

ServicePortPair FreeEchoAndChargenPorts() {
  const std::vector<std::uint16_t> ports = FreePorts(2);
  if (ports.size() != 2) return {0, 0};
  return {ports[0], ports[1]};
}

UniqueFd ConnectTcp(std::uint16_t port, std::chrono::milliseconds timeout) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.Valid()) return s;
  const sockaddr_in sin = Loopback("127.0.0.1", port);
  if (connect(s.Get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    if (errno != EINPROGRESS) {
      const int err = errno;
      s.Reset();
      errno = err;
      return s;
    }
    pollfd p{s.Get(), POLLOUT, 0};
    const Deadline deadline = In(timeout);
    int n = 0;
    do {
      n = poll(&p, 1, MillisUntil(deadline));
    } while (n < 0 && errno == EINTR);
    int err = ETIMEDOUT;
    socklen_t length = sizeof err;
    if (n > 0) (void)getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, &err, &length);
    if (n <= 0 || err != 0) {
      s.Reset();
      errno = err;
      return s;
    }
  }
  (void)SetNonBlocking(s.Get(), false);
  return s;
}

UniqueFd BindUdp(const char* address, std::uint16_t port) {
  return BoundSocket(SOCK_DGRAM, address, port);
}

UniqueFd ListenTcp(const char* address, std::uint16_t port) {
  UniqueFd s = BoundSocket(SOCK_STREAM, address, port);
  if (s.Valid() && listen(s.Get(), 16) != 0) s.Reset();
  return s;
}

std::optional<std::string> ReceiveWithin(int fd, Deadline deadline, std::size_t most) {
  if (!WaitReadable(fd, deadline)) return std::nullopt;
  std::string data(most, '\0');
  const ssize_t n = recv(fd, data.data(), data.size(), MSG_DONTWAIT);
  if (n <= 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(n));
  return data;
}

// ---------------------------------------------------------------------------------------------

ServerProcess::ServerProcess(const ServerOptions& options) : terminal_(options.terminal) {
  Start(options);
}

ServerProcess::ServerProcess(std::vector<std::string> args) : terminal_(Terminal::kNone) {
  ServerOptions options;
  options.args = std::move(args);
  Start(options);
}

void ServerProcess::Start(const ServerOptions& options) {
  // Everything the child needs is prepared before fork.
  const char* program = options.program.empty() ? ServerBinary() : options.program.c_str();
  std::vector<std::string> words;
  words.emplace_back(options.program.empty() ? "orvane" : options.program);
  words.insert(words.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  const pid_t test = getpid();
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  stderrRead_.Reset(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  if (terminal_ == Terminal::kNone) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
      error_ = std::string("pipe2: ") + std::strerror(errno);
      return;
    }
    stdoutRead_.Reset(outPipe[0]);
    UniqueFd outWrite(outPipe[1]);
    UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull.Valid()) {
      error_ = std::string("/dev/null: ") + std::strerror(errno);
      return;
    }
    const pid_t pid = fork();
    if (pid < 0) {
      error_ = std::string("fork: ") + std::strerror(errno);
      return;
    }
    if (pid == 0) {
      (void)setsid();  // no controlling terminal, and none can come from the test runner
      ExecServer(test, devNull.Get(), outWrite.Get(), errWrite.Get(), program, argv.data(),
                 options.fileLimit);
    }
    pid_ = pid;
    return;
  }

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    error_ = std::string("openpty: ") + std::strerror(errno);
    return;
  }
  stdoutRead_.Reset(master);
  ptySlave_.Reset(slave);
  (void)fcntl(master, F_SETFD, FD_CLOEXEC);
  (void)fcntl(slave, F_SETFD, FD_CLOEXEC);
  if (tcgetattr(slave, &modesAtStart_) != 0) {
    error_ = std::string("tcgetattr: ") + std::strerror(errno);
    return;
  }
  if (options.adjustModes) {
    options.adjustModes(modesAtStart_);
    if (tcsetattr(slave, TCSANOW, &modesAtStart_) != 0 || tcgetattr(slave, &modesAtStart_) != 0) {
      error_ = std::string("tcsetattr: ") + std::strerror(errno);
      return;
    }
  }

  if (terminal_ == Terminal::kForeground) {
    const pid_t pid = fork();
    if (pid < 0) {
      error_ = std::string("fork: ") + std::strerror(errno);
      return;
    }
    if (pid == 0) {
      // Session leader, then the terminal becomes its controlling terminal with this process
      // group in front.
      if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(125);
      ExecServer(test, slave, slave, options.stderrOnTerminal ? slave : errWrite.Get(), program,
                 argv.data(), options.fileLimit);
    }
    pid_ = pid;
    return;
  }

  int reportPipe[2];
  int controlPair[2];
  if (pipe2(reportPipe, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  leaderReport_.Reset(reportPipe[0]);
  UniqueFd reportWrite(reportPipe[1]);
  // Both ways: commands to the leader, answers back.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, controlPair) != 0) {
    error_ = std::string("socketpair: ") + std::strerror(errno);
    return;
  }
  UniqueFd controlRead(controlPair[0]);
  leaderControl_.Reset(controlPair[1]);
  const pid_t leader = fork();
  if (leader < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    return;
  }
  if (leader == 0) {
    RunSessionLeader(test, slave, errWrite.Get(), reportWrite.Get(), controlRead.Get(),
                     terminal_ == Terminal::kForegroundJob, program, argv.data(),
                     options.fileLimit);
  }
  leaderPid_ = leader;
  reportWrite.Reset();
  pid_t server = -1;
  if (!ReadExactly(leaderReport_.Get(), &server, sizeof server, In(std::chrono::seconds(10)))) {
    error_ = "the session leader did not report the server's PID";
    return;
  }
  pid_ = server;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !status_) {
    (void)kill(pid_, SIGKILL);
    if (!WaitForExit(In(std::chrono::seconds(10))) && leaderPid_ <= 0) {
      (void)waitpid(pid_, nullptr, 0);  // SIGKILL cannot be refused: this returns
    }
  }
  if (leaderPid_ > 0) {
    leaderControl_.Reset();  // lets the leader reap the server and finish
    int ignored = 0;
    if (!ReapWithin(leaderPid_, &ignored, In(std::chrono::seconds(10)))) {
      (void)kill(leaderPid_, SIGKILL);
      (void)waitpid(leaderPid_, nullptr, 0);
    }
  }
}

int ServerProcess::ReadOnce(int fd, std::string& sink, Deadline deadline) {
  if (!WaitReadable(fd, deadline)) return -1;
  char buf[65536];
  ssize_t n = 0;
  do {
    n = read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  // A terminal master reports EIO once no one has the terminal open any more.
  if (n <= 0) return 0;
  sink.append(buf, static_cast<std::size_t>(n));
  return static_cast<int>(n);
}

std::string ServerProcess::ReadStdoutOnce(Deadline deadline) {
  if (stdoutEnded_ || !stdoutRead_.Valid()) return {};
  const std::size_t before = stdout_.size();
  if (ReadOnce(stdoutRead_.Get(), stdout_, deadline) == 0) stdoutEnded_ = true;
  return stdout_.substr(before);
}

bool ServerProcess::ReadStdoutUntil(const std::function<bool(const std::string&)>& done,
                                    Deadline deadline) {
  while (!done(stdout_)) {
    if (stdoutEnded_ || !stdoutRead_.Valid()) return false;
    const int n = ReadOnce(stdoutRead_.Get(), stdout_, deadline);
    if (n == 0) stdoutEnded_ = true;
    if (n < 0) return done(stdout_);
  }
  return true;
}

void ServerProcess::ReadStdoutFor(Clock::duration d) {
  (void)ReadStdoutUntil([](const std::string&) { return false; }, In(d));
}

void ServerProcess::ReadRemainingOutput(Deadline deadline) {
  ptySlave_.Reset();  // the master reads to an end only when no one has the terminal open
  while (!stdoutEnded_ && stdoutRead_.Valid()) {
    const int n = ReadOnce(stdoutRead_.Get(), stdout_, deadline);
    if (n == 0) stdoutEnded_ = true;
    if (n < 0) break;
  }
  while (!stderrEnded_ && stderrRead_.Valid()) {
    const int n = ReadOnce(stderrRead_.Get(), stderr_, deadline);
    if (n == 0) stderrEnded_ = true;
    if (n < 0) break;
  }
}

bool ServerProcess::WriteKeys(std::string_view bytes) {
  if (terminal_ == Terminal::kNone) return false;
  return WriteAll(stdoutRead_.Get(), bytes.data(), bytes.size());
}

std::optional<termios> ServerProcess::TerminalModes() const {
  if (terminal_ == Terminal::kNone) return std::nullopt;
  termios modes{};
  const int fd = ptySlave_.Valid() ? ptySlave_.Get() : stdoutRead_.Get();
  if (tcgetattr(fd, &modes) != 0) return std::nullopt;
  return modes;
}

bool ServerProcess::SetTerminalModes(const termios& modes) {
  if (terminal_ == Terminal::kNone || !ptySlave_.Valid()) return false;
  return tcsetattr(ptySlave_.Get(), TCSANOW, &modes) == 0;
}

bool ServerProcess::AskLeader(char command) {
  if (leaderPid_ <= 0 || !leaderControl_.Valid()) {
    errno = EINVAL;
    return false;
  }
  int answer = 0;
  if (send(leaderControl_.Get(), &command, 1, MSG_NOSIGNAL) != 1 ||
      !ReadExactly(leaderControl_.Get(), &answer, sizeof answer, In(std::chrono::seconds(10)))) {
    errno = ETIMEDOUT;
    return false;
  }
  errno = answer;
  return answer == 0;
}

bool ServerProcess::BringServerToForeground() {
  return AskLeader(kServerToForeground);
}

bool ServerProcess::TakeForegroundBack() {
  return AskLeader(kLeaderToForeground);
}

bool ServerProcess::Signal(int sig) {
  if (pid_ <= 0 || !Running()) return false;
  return kill(pid_, sig) == 0;
}

bool ServerProcess::PollExit(Deadline deadline) {
  if (status_) return true;
  if (pid_ <= 0) return false;
  if (leaderPid_ > 0) {
    int status = 0;
    if (!ReadExactly(leaderReport_.Get(), &status, sizeof status, deadline)) return false;
    status_ = status;
    return true;
  }
  int status = 0;
  if (!ReapWithin(pid_, &status, deadline)) return false;
  status_ = status;
  return true;
}

bool ServerProcess::Running() {
  return Started() && !PollExit(Clock::now());
}

std::optional<int> ServerProcess::WaitForExit(Deadline deadline) {
  (void)PollExit(deadline);
  return status_;
}

// ---------------------------------------------------------------------------------------------

std::string DescribeWaitStatus(const std::optional<int>& status) {
  if (!status) return "still running";
  if (WIFEXITED(*status)) return ExitedWith(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return KilledBy(WTERMSIG(*status));
  return "wait status " + std::to_string(*status);
}

std::string ExitedWith(int code) {
  return "exited with status " + std::to_string(code);
}

std::string KilledBy(int sig) {
  const char* name = strsignal(sig);
  return "killed by signal " + std::to_string(sig) + " (" + (name != nullptr ? name : "?") + ")";
}

std::optional<ProcessState> ReadProcessState(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold anything, even ')': the fields start after the last one.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  ProcessState state{};
  pid_t parent = 0;
  if (!(fields >> state.state >> parent >> state.pgrp >> state.session >> state.ttyNr >>
        state.tpgid)) {
    return std::nullopt;
  }
  return state;
}

std::string DescribeModes(const termios& modes) {
  char text[64];
  std::string out;
  std::snprintf(text, sizeof text,
                "iflag=%#o oflag=%#o cflag=%#o lflag=%#o cc=", static_cast<unsigned>(modes.c_iflag),
                static_cast<unsigned>(modes.c_oflag), static_cast<unsigned>(modes.c_cflag),
                static_cast<unsigned>(modes.c_lflag));
  out = text;
  for (std::size_t i = 0; i < NCCS; ++i) {
    std::snprintf(text, sizeof text, "%s%u", i == 0 ? "" : ",",
                  static_cast<unsigned>(modes.c_cc[i]));
    out += text;
  }
  return out;
}

std::vector<std::string> CompleteStatusLines(std::string_view output) {
  std::vector<std::string> lines;
  const std::size_t headerEnd = output.rfind('\n');
  std::size_t start = headerEnd == std::string_view::npos ? 0 : headerEnd + 1;
  for (std::size_t cr = output.find('\r', start); cr != std::string_view::npos;
       cr = output.find('\r', start)) {
    lines.emplace_back(output.substr(start, cr + 1 - start));
    start = cr + 1;
  }
  return lines;
}

std::optional<StatusFigures> ParseStatusLine(std::string_view line) {
  static const std::regex kShape(
      R"(^ *(\d{1,10}),  *(\d{1,10})   *(\d{1,10}),  *(\d{1,10})   *(\d{1,10}),  *(\d{1,10})    \r$)");
  std::cmatch m;
  if (!std::regex_match(line.data(), line.data() + line.size(), m, kShape)) return std::nullopt;
  unsigned long long v[6];
  for (int i = 0; i < 6; ++i) {
    v[i] = std::stoull(m[i + 1].str());
    if (v[i] > 0xFFFFFFFFull) return std::nullopt;
  }
  // The widths are minimum widths: right-aligned in 4 and 5 columns, wider only when needed.
  char canonical[128];
  std::snprintf(canonical, sizeof canonical, "%4llu, %5llu  %4llu, %5llu  %4llu, %5llu    \r", v[0],
                v[1], v[2], v[3], v[4], v[5]);
  if (line != canonical) return std::nullopt;
  return StatusFigures{static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1]),
                       static_cast<std::uint32_t>(v[2]), static_cast<std::uint32_t>(v[3]),
                       static_cast<std::uint32_t>(v[4]), static_cast<std::uint32_t>(v[5])};
}

UniqueFd WaitUntilServing(ServerProcess& server, std::uint16_t port, Deadline deadline) {
  for (int attempt = 0; attempt < 10'000 && Clock::now() < deadline; ++attempt) {
    if (!server.Running()) return {};
    UniqueFd s = ConnectTcp(port, milliseconds(500));
    if (s.Valid()) return s;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return {};
}

// ---------------------------------------------------------------------------------------------

std::vector<std::string> PortArgs(const ServicePortPair& ports) {
  return {"-e", std::to_string(ports.echo), "-c", std::to_string(ports.chargen)};
}

ServingServer StartServing(Deadline deadline) {
  ServingServer serving;
  serving.ports = FreeEchoAndChargenPorts();
  if (serving.ports.echo == 0) {
    serving.error = "no free ports";
    return serving;
  }
  auto process = std::make_unique<ServerProcess>(PortArgs(serving.ports));
  if (!process->Started()) {
    serving.error = process->error();
    return serving;
  }
  for (const std::uint16_t port : {serving.ports.chargen, serving.ports.echo}) {
    if (!WaitUntilServing(*process, port, deadline).Valid()) {
      process->ReadRemainingOutput(In(milliseconds(500)));
      serving.error = "the server did not take connections on port " + std::to_string(port) +
                      "; it " + DescribeWaitStatus(process->WaitForExit(Clock::now())) +
                      ", stderr: " + process->Stderr();
      return serving;
    }
  }
  serving.process = std::move(process);
  return serving;
}

UniqueFd BindUdpSharing(const char* address, std::uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.Valid()) return s;
  const int on = 1;
  const sockaddr_in sin = Loopback(address, port);
  if (setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(s.Get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    const int err = errno;
    s.Reset();
    errno = err;
  }
  return s;
}

bool SendDatagram(int fd, std::uint16_t port, std::string_view payload) {
  const sockaddr_in to = Loopback("127.0.0.1", port);
  ssize_t n = 0;
  do {
    n = sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<std::size_t>(n) == payload.size();
}

std::optional<Datagram> ReceiveDatagram(int fd, Deadline deadline) {
  if (!WaitReadable(fd, deadline)) return std::nullopt;
  std::string buf(65536, '\0');
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return Datagram{std::move(buf), ntohs(from.sin_port)};
}

bool SendAll(int fd, std::string_view data, Deadline deadline) {
  std::vector<StreamTraffic> traffic(1);
  traffic[0].fd = fd;
  traffic[0].send = data;
  ExchangeTraffic(traffic, deadline);
  return traffic[0].sent == data.size();
}

std::string ReceiveExactly(int fd, std::size_t size, Deadline deadline) {
  std::vector<StreamTraffic> traffic(1);
  traffic[0].fd = fd;
  traffic[0].receive = size;
  ExchangeTraffic(traffic, deadline);
  return std::move(traffic[0].received);
}

void PrintTo(StreamEnd end, std::ostream* os) {
  switch (end) {
    case StreamEnd::kClosed:
      *os << "closed by the peer";
      return;
    case StreamEnd::kReset:
      *os << "reset by the peer";
      return;
    case StreamEnd::kStillOpen:
      *os << "still open";
      return;
    case StreamEnd::kMoreData:
      *os << "more data came";
      return;
  }
}

StreamEnd WaitForStreamEnd(int fd, Deadline deadline) {
  if (!WaitReadable(fd, deadline)) return StreamEnd::kStillOpen;
  char byte = 0;
  ssize_t n = 0;
  do {
    n = recv(fd, &byte, 1, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return StreamEnd::kMoreData;
  if (n == 0) return StreamEnd::kClosed;
  return errno == EAGAIN || errno == EWOULDBLOCK ? StreamEnd::kStillOpen : StreamEnd::kReset;
}

void ResetConnection(UniqueFd& connection) {
  const linger abort{1, 0};
  (void)setsockopt(connection.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  connection.Reset();
}

void ExchangeTraffic(std::vector<StreamTraffic>& traffic, Deadline deadline) {
  std::vector<char> buf(65536);
  std::vector<pollfd> polled;
  std::vector<StreamTraffic*> owners;
  for (;;) {
    polled.clear();
    owners.clear();
    for (StreamTraffic& t : traffic) {
      if (t.error != 0) continue;
      const bool sending = t.sent < t.send.size();
      if (!sending && t.halfClose) {
        if (shutdown(t.fd, SHUT_WR) != 0) t.error = errno;
        t.halfClose = false;  // done
      }
      const bool receiving = !t.ended && t.received.size() < t.receive;
      if (t.error != 0 || (!sending && !receiving)) continue;
      polled.push_back(
          pollfd{t.fd, static_cast<short>((sending ? POLLOUT : 0) | (receiving ? POLLIN : 0)), 0});
      owners.push_back(&t);
    }
    if (polled.empty() || Clock::now() >= deadline) return;
    const int ready = poll(polled.data(), polled.size(), MillisUntil(deadline));
    if (ready < 0 && errno != EINTR) return;
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i) {
      StreamTraffic& t = *owners[i];
      const short events = polled[i].revents;
      if ((polled[i].events & POLLIN) != 0 && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const std::size_t most = std::min(buf.size(), t.receive - t.received.size());
        const ssize_t n = recv(t.fd, buf.data(), most, MSG_DONTWAIT);
        if (n > 0) {
          t.received.append(buf.data(), static_cast<std::size_t>(n));
        } else if (n == 0) {
          t.ended = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          t.ended = true;
          t.error = errno;
        }
      }
      if (t.error == 0 && (polled[i].events & POLLOUT) != 0 &&
          (events & (POLLOUT | POLLERR)) != 0) {
        const std::size_t most = std::min<std::size_t>(65536, t.send.size() - t.sent);
        const ssize_t n = send(t.fd, t.send.data() + t.sent, most, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
          t.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          t.error = errno;
        }
      }
    }
  }
}

std::string Describe(const StreamTraffic& t) {
  std::string text = "sent " + std::to_string(t.sent) + " of " + std::to_string(t.send.size()) +
                     " bytes, received " + std::to_string(t.received.size());
  if (t.ended) text += ", then the stream ended";
  if (t.error != 0) text.append(", error ").append(std::strerror(t.error));
  return text;
}

char ChargenByte(std::size_t offset) {
  return static_cast<char>(0x20 + (offset % kChargenBlockSize) % 96);
}

std::string ChargenMismatch(std::string_view received, std::size_t offset) {
  for (std::size_t i = 0; i < received.size(); ++i) {
    const char expected = ChargenByte(offset + i);
    if (received[i] != expected) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "byte %zu of the stream is 0x%02x instead of 0x%02x (%zu bytes checked)",
                    offset + i, static_cast<unsigned char>(received[i]),
                    static_cast<unsigned char>(expected), received.size());
      return text;
    }
  }
  return {};
}

std::optional<std::size_t> CountOpenDescriptors(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", error);
  if (error) return std::nullopt;
  std::size_t count = 0;
  for (auto it = entries; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return std::nullopt;
    ++count;
  }
  return count;
}

std::optional<std::size_t> WaitForDescriptorCount(pid_t pid, std::size_t count, Deadline deadline) {
  std::optional<std::size_t> seen = CountOpenDescriptors(pid);
  for (int attempt = 0; attempt < 100'000 && seen && *seen != count && Clock::now() < deadline;
       ++attempt) {
    std::this_thread::sleep_for(milliseconds(10));
    seen = CountOpenDescriptors(pid);
  }
  return seen;
}

std::size_t MarkStatusLines(ServerProcess& server) {
  server.ReadStdoutFor(Clock::duration::zero());
  return CompleteStatusLines(server.Stdout()).size();
}

std::vector<StatusFigures> StatusLinesAfter(ServerProcess& server, std::size_t mark,
                                            std::size_t count, Deadline deadline) {
  (void)server.ReadStdoutUntil(
      [&](const std::string& out) { return CompleteStatusLines(out).size() >= mark + count; },
      deadline);
  const std::vector<std::string> lines = CompleteStatusLines(server.Stdout());
  std::vector<StatusFigures> figures;
  for (std::size_t i = mark; i < lines.size() && i < mark + count; ++i) {
    const auto parsed = ParseStatusLine(lines[i]);
    if (!parsed) break;
    figures.push_back(*parsed);
  }
  return figures;
}

bool WaitForStatus(ServerProcess& server, const std::function<bool(const StatusFigures&)>& wanted,
                   Deadline deadline) {
  return server.ReadStdoutUntil(
      [&](const std::string& out) {
        const std::vector<std::string> lines = CompleteStatusLines(out);
        if (lines.empty()) return false;
        const auto last = ParseStatusLine(lines.back());
        return last && wanted(*last);
      },
      deadline);
}

}  // namespace orvane::e2e
