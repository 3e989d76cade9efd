#include "platform/linux_platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/socket_errors.h"

namespace orvane {

namespace {

int Fd(SocketHandle s) {
  return static_cast<int>(s);
}

sockaddr_in ToSockaddr(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address);
  return sin;
}

// The readiness that select(2) itself would report for each set.
constexpr short kReadableRevents = POLLIN | POLLHUP | POLLERR;
constexpr short kWritableRevents = POLLOUT | POLLERR;

// accept(2) hands up network errors that belong to the pending connection; its manual says
// to treat them like "try again". They must not end the server, or any peer could stop it by
// resetting a connection at the right moment.
bool IsDeadPendingConnection(int err) {
  switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

}  // namespace

// How late the system may end a wait whose only purpose is the next tick of the clock. Every
// socket event still ends a wait at once; only the idle wake-ups get rarer, and they are what
// an idle server spends its time on: each costs a sleep and a wake-up of the process, and at
// the system's default of 50 microseconds an idle server woke about 900 times a second.
constexpr unsigned long kIdleWakeupSlackNanos = 1000000;

LinuxPlatform::LinuxPlatform() {
  // A hint to the scheduler; without it the server serves the same, only less frugally.
  (void)::prctl(PR_SET_TIMERSLACK, kIdleWakeupSlackNanos, 0, 0, 0);
}

int LinuxPlatform::Fail(int result) {
  lastErrno_ = errno;
  return result;
}

SocketHandle LinuxPlatform::socket(SockType type) {
  const int kind = (type == SockType::Datagram) ? SOCK_DGRAM : SOCK_STREAM;
  const int fd = ::socket(AF_INET, kind | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(0);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

int LinuxPlatform::setsockopt(SocketHandle s, SockOption option, int value) {
  const int name = (option == SockOption::ReuseAddr) ? SO_REUSEADDR : SO_OOBINLINE;
  if (::setsockopt(Fd(s), SOL_SOCKET, name, &value, sizeof value) != 0) return Fail(kSocketError);
  return 0;
}

int LinuxPlatform::bind(SocketHandle s, std::uint16_t port) {
  const sockaddr_in sin = ToSockaddr(INADDR_ANY, port);
  if (::bind(Fd(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    return Fail(kSocketError);
  }
  return 0;
}

int LinuxPlatform::listen(SocketHandle s, int backlog) {
  // Urgent data inline already on the listener, which every connection inherits: the system
  // applies the setting as data arrives, so a connection whose first byte is urgent and that
  // sends more urgent data before it is accepted would otherwise lose that first byte, even
  // though the server sets the option on each client right after accepting it.
  const int on = 1;
  if (::setsockopt(Fd(s), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) != 0) {
    return Fail(kSocketError);
  }
  if (::listen(Fd(s), backlog) != 0) return Fail(kSocketError);
  return 0;
}

std::uint32_t LinuxPlatform::PollIndexFor(SocketHandle s, short events) {
  std::size_t slot = (static_cast<std::size_t>(s) * 2654435761u) % kSlotCount;
  while (slotGeneration_[slot] == generation_ && slotFd_[slot] != Fd(s)) {
    slot = (slot + 1) % kSlotCount;
  }
  if (slotGeneration_[slot] != generation_) {
    slotGeneration_[slot] = generation_;
    slotFd_[slot] = Fd(s);
    slotIndex_[slot] = polledCount_;
    polled_[polledCount_] = pollfd{Fd(s), 0, 0};
    ++polledCount_;
  }
  const std::uint32_t index = slotIndex_[slot];
  polled_[index].events = static_cast<short>(polled_[index].events | events);
  return index;
}

int LinuxPlatform::select(int /*nfds: poll(2) needs no bound*/, ReadinessSet& read,
                          ReadinessSet& write, ReadinessSet& except, long timeoutMicros) {
  // poll(2) instead of select(2): the system's fd_set cannot hold descriptors of 1024 and up.
  // A new generation forgets every slot at once; the table is cleared only when the count
  // wraps.
  if (++generation_ == 0) {
    slotGeneration_.fill(0);
    generation_ = 1;
  }
  polledCount_ = 0;
  std::array<std::uint32_t, kReadinessSetCapacity> readAt{};
  std::array<std::uint32_t, kReadinessSetCapacity> writeAt{};
  for (std::uint32_t i = 0; i < read.count; ++i) {
    readAt[i] = PollIndexFor(read.sockets[i], POLLIN);
  }
  for (std::uint32_t i = 0; i < write.count; ++i) {
    writeAt[i] = PollIndexFor(write.sockets[i], POLLOUT);
  }
  // The exceptional set is not polled at all. Every client has urgent data inline, and the
  // system reports inline urgent data as an exceptional condition; the services must not take
  // that for a failed client, so nothing is ever reported exceptional. A client's errors and
  // hang-ups still show, as readable and writable.

  // The system call itself, not the C library's wrapper: on an interruption by a signal the
  // kernel leaves the time still to wait in the timeout, so the wait goes on for the rest of
  // it without a clock reading in every pass. A signal is no reason to stop serving, nor to
  // wait longer than asked: signals that keep coming faster than the timeout would otherwise
  // hold the loop in here for good.
  timespec timeout{timeoutMicros / 1000000, (timeoutMicros % 1000000) * 1000};
  long result = 0;
  while ((result = ::syscall(SYS_ppoll, polled_.data(), static_cast<nfds_t>(polledCount_), &timeout,
                             nullptr, 0)) < 0 &&
         errno == EINTR) {
  }
  if (result < 0) return Fail(kSocketError);

  for (std::uint32_t i = 0; i < polledCount_; ++i) {
    if ((polled_[i].revents & POLLNVAL) != 0) {
      errno = EBADF;  // as select(2) would fail for a closed descriptor
      return Fail(kSocketError);
    }
  }
  const std::uint32_t readable = read.KeepReady(
      [&](std::uint32_t i) { return (polled_[readAt[i]].revents & kReadableRevents) != 0; });
  const std::uint32_t writable = write.KeepReady(
      [&](std::uint32_t i) { return (polled_[writeAt[i]].revents & kWritableRevents) != 0; });
  except.Clear();
  return static_cast<int>(readable + writable);
}

SocketHandle LinuxPlatform::accept(SocketHandle listener) {
  for (;;) {
    const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return static_cast<SocketHandle>(fd);
    if (errno == EINTR) continue;
    if (IsDeadPendingConnection(errno)) return kNoClientAccepted;
    Fail(0);
    return kInvalidSocket;
  }
}

int LinuxPlatform::recv(SocketHandle s, char* buf, int len) {
  ssize_t n = 0;
  do {
    n = ::recv(Fd(s), buf, static_cast<std::size_t>(len), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(kSocketError);
  return static_cast<int>(n);
}

int LinuxPlatform::send(SocketHandle s, const char* buf, int len) {
  ssize_t n = 0;
  do {
    // A peer that has reset must cost us one client, not the process: no SIGPIPE.
    n = ::send(Fd(s), buf, static_cast<std::size_t>(len), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(kSocketError);
  return static_cast<int>(n);
}

int LinuxPlatform::recvfrom(SocketHandle s, char* buf, int len, PeerAddress& from) {
  sockaddr_in sin{};
  socklen_t sinLength = sizeof sin;
  ssize_t n = 0;
  do {
    // MSG_TRUNC makes the call return the datagram's real length even when it did not fit.
    n = ::recvfrom(Fd(s), buf, static_cast<std::size_t>(len), MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&sin), &sinLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(kSocketError);
  from.address = ntohl(sin.sin_addr.s_addr);
  from.port = ntohs(sin.sin_port);
  if (n > len) {
    // Too long for the buffer: discarded whole, like a receive that failed with EMSGSIZE.
    errno = EMSGSIZE;
    return Fail(kSocketError);
  }
  return static_cast<int>(n);
}

int LinuxPlatform::sendto(SocketHandle s, const char* buf, int len, const PeerAddress& to) {
  const sockaddr_in sin = ToSockaddr(to.address, to.port);
  ssize_t n = 0;
  do {
    n = ::sendto(Fd(s), buf, static_cast<std::size_t>(len), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(kSocketError);
  return static_cast<int>(n);
}

int LinuxPlatform::closesocket(SocketHandle s) {
  if (::close(Fd(s)) != 0) return Fail(kSocketError);
  return 0;
}

int LinuxPlatform::WSAGetLastError() {
  return SocketErrorFromErrno(lastErrno_);
}

bool LinuxPlatform::kbhit() {
  return keyboard_.kbhit();
}

int LinuxPlatform::getch() {
  return keyboard_.getch();
}

std::int64_t LinuxPlatform::time() {
  return static_cast<std::int64_t>(::time(nullptr));
}

}  // namespace orvane
