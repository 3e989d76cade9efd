#pragma once

// Small tools for testing LinuxPlatform against the real kernel: descriptors that close
// themselves, loopback sockets made directly with the system calls (so that a fault in the
// platform cannot hide in the test's own sockets), bounded waits and forked children.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/linux_platform.h"
#include "tests/support/unique_fd.h"

namespace orvane::platform_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest any single test waits for the kernel to settle a socket's state. Generous, so
// that a slow machine never fails a test; a correct platform never gets near it.
inline constexpr milliseconds kSettle{3000};

// A descriptor the test owns, and the platform's socket handle for it.
using OwnedFd = testsupport::UniqueFd;
inline SocketHandle Handle(const OwnedFd& fd) {
  return static_cast<SocketHandle>(fd.Get());
}

// Takes a handle the platform returned; invalid for kInvalidSocket and kNoClientAccepted.
OwnedFd Own(SocketHandle s);

// Whether a descriptor number is open in this process.
bool IsOpen(int fd);

// The port a socket is bound to, in host order; 0 on failure.
std::uint16_t LocalPort(int fd);

// 127.0.0.1 in host order.
inline constexpr std::uint32_t kLoopback = 0x7F000001;

// A UDP socket bound to address (host order) and a port the system picks.
OwnedFd BoundUdp(std::uint32_t address = kLoopback);

// A TCP socket listening on 127.0.0.1 and a port the system picks, with no options set.
OwnedFd RawListener();

// A blocking TCP connection to 127.0.0.1:port; invalid on failure.
OwnedFd ConnectTcp(std::uint16_t port);

// Both ends of one loopback TCP connection, the server end taken with accept(2).
struct TcpPair {
  OwnedFd client;
  OwnedFd server;
};
TcpPair ConnectedPair();

// Waits at most `within` until poll(2) reports any of `events` on fd.
bool WaitFor(int fd, short events, milliseconds within = kSettle);

// Makes the socket's peer see a reset: no lingering, then close.
void CloseWithReset(OwnedFd& fd);

// Runs body in a forked child whose exit status is what body returns, and gives back the
// child's wait status; the child is killed by its PID if it runs past `limit`. Describe()
// turns that status into words for a failure message.
int RunInChild(const std::function<int()>& body, milliseconds limit = milliseconds(10000));
std::string Describe(int waitStatus);

}  // namespace orvane::platform_test
