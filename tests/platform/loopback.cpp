#include "tests/platform/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace orvane::platform_test {

OwnedFd Own(SocketHandle s) {
  if (s == kInvalidSocket || s == kNoClientAccepted) return OwnedFd();
  return OwnedFd(static_cast<int>(s));
}

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in sin{};
  socklen_t length = sizeof sin;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &length) != 0) return 0;
  return ntohs(sin.sin_port);
}

namespace {

sockaddr_in Address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(address);
  sin.sin_port = htons(port);
  return sin;
}

OwnedFd Bound(int type, std::uint32_t address) {
  OwnedFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  const sockaddr_in sin = Address(address, 0);
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) fd.Reset();
  return fd;
}

}  // namespace

OwnedFd BoundUdp(std::uint32_t address) {
  return Bound(SOCK_DGRAM, address);
}

OwnedFd RawListener() {
  OwnedFd fd = Bound(SOCK_STREAM, kLoopback);
  if (fd.Valid() && ::listen(fd.Get(), 16) != 0) fd.Reset();
  return fd;
}

OwnedFd ConnectTcp(std::uint16_t port) {
  OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  const sockaddr_in sin = Address(kLoopback, port);
  int rc = 0;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fd.Reset();
  return fd;
}

TcpPair ConnectedPair() {
  TcpPair pair;
  const OwnedFd listener = RawListener();
  if (!listener.Valid()) return pair;
  pair.client = ConnectTcp(LocalPort(listener.Get()));
  if (!pair.client.Valid() || !WaitFor(listener.Get(), POLLIN)) return pair;
  pair.server = OwnedFd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  return pair;
}

bool WaitFor(int fd, short events, milliseconds within) {
  const Clock::time_point deadline = Clock::now() + within;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc > 0) return (p.revents & events) != 0;
    if (rc == 0 || errno != EINTR || left <= 0) return false;
  }
}

void CloseWithReset(OwnedFd& fd) {
  const linger abortive{1, 0};
  (void)::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  fd.Reset();
}

int RunInChild(const std::function<int()>& body, milliseconds limit) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body());

  const Clock::time_point deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(milliseconds(2));
  }
  (void)::kill(pid, SIGKILL);
  (void)::waitpid(pid, &status, 0);
  return status;
}

std::string Describe(int waitStatus) {
  if (waitStatus == -1) return "could not fork or wait";
  if (WIFEXITED(waitStatus)) {
    return std::string("exited with status ").append(std::to_string(WEXITSTATUS(waitStatus)));
  }
  if (WIFSIGNALED(waitStatus)) {
    const int sig = WTERMSIG(waitStatus);
    return std::string("killed by signal ")
        .append(std::to_string(sig))
        .append(" (")
        .append(::strsignal(sig))
        .append(")");
  }
  return std::string("ended with wait status ").append(std::to_string(waitStatus));
}

}  // namespace orvane::platform_test
