#pragma once

#include <poll.h>

#include <array>

#include "platform/console_keyboard.h"
#include "platform/platform.h"

namespace orvane {

// The program's calls carried out on Linux: POSIX sockets, poll(2) for readiness, the
// controlling terminal for the keyboard and time(2) for the clock.
class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform();

  SocketHandle socket(SockType type) override;
  int setsockopt(SocketHandle s, SockOption option, int value) override;
  int bind(SocketHandle s, std::uint16_t port) override;
  int listen(SocketHandle s, int backlog) override;
  int select(int nfds, ReadinessSet& read, ReadinessSet& write, ReadinessSet& except,
             long timeoutMicros) override;
  SocketHandle accept(SocketHandle listener) override;
  int recv(SocketHandle s, char* buf, int len) override;
  int send(SocketHandle s, const char* buf, int len) override;
  int recvfrom(SocketHandle s, char* buf, int len, PeerAddress& from) override;
  int sendto(SocketHandle s, const char* buf, int len, const PeerAddress& to) override;
  int closesocket(SocketHandle s) override;
  int WSAGetLastError() override;

  bool kbhit() override;
  int getch() override;

  std::int64_t time() override;

 private:
  static constexpr std::size_t kMostPolled = 3 * kReadinessSetCapacity;
  // A small open-addressed map from descriptor to its entry in polled_, so that a socket in
  // several sets is polled once.
  static constexpr std::size_t kSlotCount = 256;

  int Fail(int result);
  std::uint32_t PollIndexFor(SocketHandle s, short events);

  int lastErrno_ = 0;
  std::array<pollfd, kMostPolled> polled_{};
  std::uint32_t polledCount_ = 0;
  std::uint32_t generation_ = 0;  // slots of other generations are free
  std::array<std::uint32_t, kSlotCount> slotGeneration_{};
  std::array<std::int32_t, kSlotCount> slotFd_{};
  std::array<std::uint32_t, kSlotCount> slotIndex_{};
  ConsoleKeyboard keyboard_;
};

}  // namespace orvane
