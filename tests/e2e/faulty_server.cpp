#include "tests/e2e/faulty_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "tests/e2e/harness.h"

namespace orvane::e2e {

namespace {

using testsupport::UniqueFd;

constexpr std::size_t kChunk = 16 * 1024;

// A socket of `type` bound to address:0 (listening, for TCP); invalid with `error` set if not.
UniqueFd OpenSocket(const std::string& address, int type, std::uint16_t& port, std::string& error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    length = sizeof *sin;
  } else if (inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
    length = sizeof *sin6;
  } else {
    error = "not an address: " + address;
    return UniqueFd();
  }
  UniqueFd s(socket(storage.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s.Valid() || bind(s.Get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      (type == SOCK_STREAM && listen(s.Get(), 64) != 0) ||
      getsockname(s.Get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    error = "socket on " + address + ": " + std::strerror(errno);
    return UniqueFd();
  }
  port = ntohs(storage.ss_family == AF_INET ? sin->sin_port : sin6->sin6_port);
  return s;
}

// RFC 864 lines: line k is the 72 characters from printable character k mod 95 on, then CR LF.
char LineByte(std::uint64_t offset) {
  const std::uint64_t line = offset / 74;
  const std::uint64_t column = offset % 74;
  if (column == 72) return '\r';
  if (column == 73) return '\n';
  return static_cast<char>(0x20 + (line + column) % 95);
}

// Applies the plan's stream fault to `chunk`, the true stream from `offset` on. True if the
// connection is to be closed once the chunk has been sent.
bool ApplyStreamFault(std::string& chunk, std::uint64_t offset, const FaultPlan& plan) {
  if (plan.stream == StreamFault::kNone || plan.at < offset || plan.at - offset >= chunk.size()) {
    return false;
  }
  const std::size_t k = plan.at - offset;
  switch (plan.stream) {
    case StreamFault::kCorrupt:
      chunk[k] = static_cast<char>(chunk[k] ^ 0x01);
      return false;
    case StreamFault::kDropByte:
      chunk.erase(k, 1);
      return false;
    case StreamFault::kInsertByte:
      chunk.insert(k, 1, static_cast<char>(chunk[k] ^ 0xFF));
      return false;
    default:
      chunk.resize(k);
      return true;
  }
}

struct Client {
  UniqueFd fd;
  bool chargen = false;
  std::uint64_t offset = 0;  // how much of the true stream has been taken in or made
  std::string pending;       // what is still to be sent
  bool closeWhenSent = false;
  bool cutShort = false;  // sent its last byte; what still comes in is read and dropped
};

// Sends what is pending; false once the connection is to go. A stream cut short ends with a
// half-close, not a close: closing a socket with unread input resets the connection, and the
// reset throws away whatever the system had not sent yet, so the client would see less than
// the fault plan says.
bool Flush(Client& c) {
  while (!c.pending.empty()) {
    const ssize_t n = send(c.fd.Get(), c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.pending.erase(0, static_cast<std::size_t>(n));
  }
  if (c.closeWhenSent && !c.cutShort) {
    c.cutShort = true;
    return shutdown(c.fd.Get(), SHUT_WR) == 0;
  }
  return true;
}

}  // namespace

FaultyServer::FaultyServer(const std::string& address, const FaultPlan& plan) : plan_(plan) {
  udp_ = OpenSocket(address, SOCK_DGRAM, udpPort_, error_);
  if (error_.empty()) echoListener_ = OpenSocket(address, SOCK_STREAM, echoPort_, error_);
  if (error_.empty()) chargenListener_ = OpenSocket(address, SOCK_STREAM, chargenPort_, error_);
  if (error_.empty()) thread_ = std::thread([this] { Serve(); });
}

FaultyServer::~FaultyServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void FaultyServer::Serve() {
  std::vector<std::unique_ptr<Client>> clients;
  std::uint64_t datagrams = 0;
  std::string held;
  sockaddr_storage heldTo{};
  socklen_t heldLength = 0;
  std::vector<char> buffer(65536);
  std::vector<pollfd> polls;

  while (!stop_) {
    polls.clear();
    polls.push_back({udp_.Get(), POLLIN, 0});
    polls.push_back({echoListener_.Get(), POLLIN, 0});
    polls.push_back({chargenListener_.Get(), POLLIN, 0});
    for (const auto& c : clients) {
      const bool writing = c->chargen || !c->pending.empty();
      polls.push_back({c->fd.Get(),
                       static_cast<short>((c->pending.empty() ? POLLIN : 0) |
                                          (writing ? POLLOUT : 0) | (c->chargen ? POLLIN : 0)),
                       0});
    }
    if (poll(polls.data(), polls.size(), 20) <= 0) continue;

    if (polls[0].revents != 0) {
      for (;;) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(udp_.Get(), buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0) break;
        std::string datagram(buffer.data(), static_cast<std::size_t>(n));
        auto answer = [&](const std::string& d) {
          (void)sendto(udp_.Get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       fromLength);
        };
        const bool hit = plan_.datagram != DatagramFault::kNone && datagrams++ % plan_.every == 0;
        if (!hit) {
          answer(datagram);
        } else if (plan_.datagram == DatagramFault::kDuplicate) {
          answer(datagram);
          answer(datagram);
        } else if (plan_.datagram == DatagramFault::kCorrupt) {
          datagram.back() = static_cast<char>(datagram.back() ^ 0x01);
          answer(datagram);
        } else if (plan_.datagram == DatagramFault::kTruncate) {
          datagram.pop_back();
          answer(datagram);
        } else if (plan_.datagram == DatagramFault::kReorder) {
          held = datagram;
          heldTo = from;
          heldLength = fromLength;
          continue;
        }
        if (!held.empty()) {
          (void)sendto(udp_.Get(), held.data(), held.size(), 0,
                       reinterpret_cast<sockaddr*>(&heldTo), heldLength);
          held.clear();
        }
      }
    }
    for (int i = 1; i <= 2; ++i) {
      if (polls[static_cast<std::size_t>(i)].revents == 0) continue;
      const int listener = i == 1 ? echoListener_.Get() : chargenListener_.Get();
      for (;;) {
        UniqueFd fd(accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.Valid()) break;
        auto client = std::make_unique<Client>();
        client->fd = std::move(fd);
        client->chargen = i == 2;
        clients.push_back(std::move(client));
      }
    }
    // Only the clients polled this round; those accepted just now wait for the next.
    const std::size_t polled = polls.size() - 3;
    for (std::size_t k = 0; k < polled; ++k) {
      Client& c = *clients[k];
      const short events = polls[k + 3].revents;
      bool keep = true;
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && (c.chargen || c.pending.empty())) {
        const ssize_t n = recv(c.fd.Get(), buffer.data(), buffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          keep = false;
        } else if (n > 0 && !c.chargen && !c.cutShort) {
          std::string chunk(buffer.data(), static_cast<std::size_t>(n));
          c.closeWhenSent = ApplyStreamFault(chunk, c.offset, plan_);
          c.offset += static_cast<std::uint64_t>(n);
          c.pending = std::move(chunk);
        }
      }
      if (keep && c.chargen && c.pending.empty() && !c.closeWhenSent && !c.cutShort) {
        std::string chunk(kChunk, '\0');
        for (std::size_t j = 0; j < kChunk; ++j) {
          const std::uint64_t o = c.offset + plan_.skip + j;
          chunk[j] = plan_.chargen == ChargenKind::kLines ? LineByte(o) : ChargenByte(o);
        }
        c.closeWhenSent = ApplyStreamFault(chunk, c.offset, plan_);
        c.offset += kChunk;
        c.pending = std::move(chunk);
      }
      if (keep) keep = Flush(c);
      if (!keep) c.fd.Reset();
    }
    std::erase_if(clients, [](const auto& c) { return !c->fd.Valid(); });
  }
}

}  // namespace orvane::e2e
