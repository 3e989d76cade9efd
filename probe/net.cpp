#include "probe/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "control/sock_exception.h"
#include "platform/socket_errors.h"

namespace orvane::probe {

volatile std::sig_atomic_t stopRequests = 0;

namespace {

void OnStopSignal(int) {
  stopRequests = stopRequests + 1;
}

}  // namespace

std::uint64_t NowNs() {
  timespec ts{};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * kSecond + static_cast<std::uint64_t>(ts.tv_nsec);
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait in poll ends at once, and the loop sees the request.
  (void)sigaction(SIGINT, &action, nullptr);
  (void)sigaction(SIGTERM, &action, nullptr);
  // Sends use MSG_NOSIGNAL; this covers anything else that writes to a closed socket.
  (void)signal(SIGPIPE, SIG_IGN);
}

std::optional<Endpoint> Resolve(const ProbeOptions& options, int socketType, std::FILE* err) {
  addrinfo hints{};
  hints.ai_family = options.family == AddressFamily::kIpv4   ? AF_INET
                    : options.family == AddressFamily::kIpv6 ? AF_INET6
                                                             : AF_UNSPEC;
  hints.ai_socktype = socketType;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(options.host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
    std::fprintf(
        err, "getaddrinfo(%s): %s\n", options.host.c_str(),
        status == EAI_SYSTEM ? SockErrorText(SocketErrorFromErrno(errno)) : gai_strerror(status));
    if (found != nullptr) freeaddrinfo(found);
    return std::nullopt;
  }
  Endpoint endpoint;
  endpoint.family = found->ai_family;
  endpoint.length = found->ai_addrlen;
  std::copy_n(reinterpret_cast<const char*>(found->ai_addr), found->ai_addrlen,
              reinterpret_cast<char*>(&endpoint.address));
  freeaddrinfo(found);

  char text[INET6_ADDRSTRLEN] = "";
  if (endpoint.family == AF_INET6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
    sin6->sin6_port = htons(options.port);
    (void)inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&endpoint.address);
    sin->sin_port = htons(options.port);
    (void)inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
  }
  endpoint.target = Target{options.host, text, options.port};
  return endpoint;
}

// ---------------------------------------------------------------------------------------------

void ErrorLog::Note(const char* call, int err) {
  for (auto& entry : entries_) {
    if (entry.call == call && entry.err == err) {
      ++entry.count;
      return;
    }
  }
  entries_.push_back({call, err, 1});
}

void ErrorLog::Print(std::FILE* out) const {
  for (const auto& entry : entries_) {
    std::fprintf(out, "%s: %s", entry.call,
                 entry.err == kClosedByPeer ? "The server closed the connection"
                                            : SockErrorText(SocketErrorFromErrno(entry.err)));
    if (entry.count > 1)
      std::fprintf(out, " (%llu times)", static_cast<unsigned long long>(entry.count));
    std::fputc('\n', out);
  }
}

// ---------------------------------------------------------------------------------------------

Progress::Progress(std::FILE* err, std::uint64_t start)
    : err_(err),
      enabled_(isatty(fileno(err)) == 1),
      start_(start),
      last_(start),
      next_(start + kSecond) {}

double Progress::Elapsed(std::uint64_t now) const {
  return static_cast<double>(now - start_) / 1e9;
}

double Progress::SinceLast(std::uint64_t now) const {
  return static_cast<double>(now - last_) / 1e9;
}

void Progress::Show(std::uint64_t now, const std::string& line) {
  std::fputs(line.c_str(), err_);
  std::fflush(err_);
  shown_ = true;
  last_ = now;
  while (next_ <= now) next_ += kSecond;
}

void Progress::Finish() {
  if (shown_) std::fputc('\n', err_);
}

// ---------------------------------------------------------------------------------------------

int StartConnect(const Endpoint& endpoint, bool& connected) {
  const int fd = socket(endpoint.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  connected =
      connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) == 0;
  if (!connected && errno != EINPROGRESS) {
    const int err = errno;
    (void)close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int ConnectError(int fd) {
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) return errno;
  return err;
}

int PollUntil(pollfd* fds, std::size_t count, std::uint64_t deadline) {
  const std::uint64_t now = NowNs();
  const std::uint64_t left = deadline > now ? deadline - now : 0;
  const timespec timeout{static_cast<time_t>(left / kSecond), static_cast<long>(left % kSecond)};
  const int n = ppoll(fds, count, &timeout, nullptr);
  if (n >= 0) return n;
  // Interrupted: nothing is ready, whatever an earlier call left in revents.
  for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
  return -1;
}

bool WaitReadable(int fd, std::uint64_t timeout) {
  const std::uint64_t deadline = NowNs() + timeout;
  pollfd p{fd, POLLIN, 0};
  while (NowNs() < deadline) {
    if (PollUntil(&p, 1, deadline) > 0) return true;
    if (stopRequests > 0) return false;
  }
  return false;
}

int ConnectWithin(const Endpoint& endpoint, std::uint64_t timeout) {
  bool connected = false;
  const int fd = StartConnect(endpoint, connected);
  if (fd < 0) return -1;
  if (!connected) {
    const std::uint64_t deadline = NowNs() + timeout;
    pollfd p{fd, POLLOUT, 0};
    int ready = 0;
    while (ready == 0 && NowNs() < deadline && stopRequests == 0) {
      ready = std::max(PollUntil(&p, 1, deadline), 0);
    }
    const int err = ready > 0 ? ConnectError(fd) : ETIMEDOUT;
    if (err != 0) {
      (void)close(fd);
      errno = err;
      return -1;
    }
  }
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace orvane::probe
