#include "tests/soak/traffic.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tests/e2e/harness.h"

namespace orvane::soak {

char g_received[kReadMost];
char g_expected[kReadMost];
char g_datagram[kLargestDatagram];

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  (void)std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// ---------------------------------------------------------------------------------------------
// What the streams must hold

namespace {

// The chargen stream from offset 0 for as far as one receive can reach past any block start,
// so that a receive at any offset is checked with one memcmp.
const std::vector<char>& ChargenPattern() {
  static const std::vector<char> pattern = [] {
    std::vector<char> bytes(e2e::kChargenBlockSize + kReadMost);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = e2e::ChargenByte(i);
    return bytes;
  }();
  return pattern;
}

sockaddr_in LoopbackTo(std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return to;
}

}  // namespace

// Checks bytes received at `offset` of the chargen stream; counts them and records the first
// difference. False if they differ.
bool CheckChargen(std::uint64_t offset, const char* data, std::size_t n, Tally& tally,
                  const std::string& who) {
  const char* expected = ChargenPattern().data() + offset % e2e::kChargenBlockSize;
  if (std::memcmp(data, expected, n) == 0) {
    tally.chargenVerified += n;
    return true;
  }
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) wrong += data[i] != expected[i] ? 1 : 0;
  tally.chargenCorrupted += wrong;
  tally.chargenVerified += n - wrong;
  tally.Fault(who + ": " + e2e::ChargenMismatch(std::string_view(data, n), offset));
  return false;
}

std::uint64_t Mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void EchoStream::Fill(std::uint64_t offset, char* out, std::size_t n) const {
  std::size_t k = 0;
  while (k < n) {
    const std::uint64_t word = Mix(seed_ ^ (offset >> 3));
    for (unsigned b = offset & 7; b < 8 && k < n; ++b, ++k, ++offset) {
      out[k] = static_cast<char>(word >> (8 * b));
    }
  }
}

bool EchoStream::Check(std::uint64_t offset, const char* data, std::size_t n, Tally& tally,
                       const std::string& who) const {
  Fill(offset, g_expected, n);
  if (std::memcmp(data, g_expected, n) == 0) {
    tally.echoVerified += n;
    return true;
  }
  std::size_t wrong = 0;
  std::size_t first = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] == g_expected[i]) continue;
    ++wrong;
    first = std::min(first, i);
  }
  tally.echoCorrupted += wrong;
  tally.echoVerified += n - wrong;
  tally.Fault(Format("%s: byte %llu of the echo is 0x%02x instead of 0x%02x (%zu of %zu wrong)",
                     who.c_str(), static_cast<Bytes>(offset + first),
                     static_cast<unsigned char>(data[first]),
                     static_cast<unsigned char>(g_expected[first]), wrong, n));
  return false;
}

// ---------------------------------------------------------------------------------------------
// Socket calls that never block and never raise SIGPIPE

ssize_t ReceiveSome(int fd, char* buf, std::size_t most) {
  ssize_t n = 0;
  do {
    n = recv(fd, buf, most, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t SendSome(int fd, const char* buf, std::size_t size, int flags) {
  ssize_t n = 0;
  do {
    n = send(fd, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool SendDatagramTo(int fd, std::uint16_t port, const char* data, std::size_t size) {
  const sockaddr_in to = LoopbackTo(port);
  ssize_t n = 0;
  do {
    n = sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<std::size_t>(n) == size;
}

// One datagram waiting on fd, with the port it came from; false if none is waiting.
bool ReceiveDatagramNow(int fd, std::string& payload, std::uint16_t& fromPort) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t n = 0;
  do {
    n = recvfrom(fd, g_datagram, sizeof g_datagram, MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&from), &length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  payload.assign(g_datagram, static_cast<std::size_t>(n));
  fromPort = ntohs(from.sin_port);
  return true;
}

// A connection started without waiting; invalid if even that failed, with errno saying why.
UniqueFd StartConnect(std::uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.Valid()) return s;
  const sockaddr_in to = LoopbackTo(port);
  if (connect(s.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      errno != EINPROGRESS) {
    const int err = errno;
    s.Reset();
    errno = err;
  }
  return s;
}

std::string ErrorText(ssize_t n) {
  return n == 0 ? std::string("closed by the server") : std::string(std::strerror(errno));
}

}  // namespace orvane::soak
