#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orvane::testing {

// A platform that keeps state instead of talking to the system: it hands out socket handles
// in order, records every call it is asked for, fails the n-th call of a kind on request,
// has a clock that moves only when told, and a queue of key codes.
class FakePlatform : public Platform {
 public:
  // What select() should make ready; by default nothing, as after a quiet millisecond.
  using SelectScript = std::function<int(ReadinessSet&, ReadinessSet&, ReadinessSet&)>;

  // What recvfrom() hands over next: a length (or kSocketError) and a sender.
  struct Datagram {
    int result;
    PeerAddress from;
  };
  using TransferScript = std::function<int(SocketHandle, int len)>;

  std::vector<std::string> calls;
  std::deque<Datagram> datagrams;
  TransferScript onRecv;  // by default every receive finds the peer closed
  TransferScript onSend;  // by default every send takes everything
  std::int64_t now = 1000;
  std::deque<int> keys;
  SelectScript onSelect;
  std::function<void()> onTime;  // runs at every clock reading, e.g. to advance it
  int lastSelectNfds = 0;

  // The n-th call (1-based) of the named kind fails with the given socket error code.
  void FailCall(const std::string& kind, int nth, int code) { failures_[kind] = {nth, code}; }

  SocketHandle socket(SockType type) override {
    Record(type == SockType::Datagram ? "socket(dgram)" : "socket(stream)");
    if (ShouldFail("socket")) return kInvalidSocket;
    return next_++;
  }
  int setsockopt(SocketHandle s, SockOption option, int value) override {
    Record("setsockopt(" + std::to_string(s) +
           (option == SockOption::ReuseAddr ? ", reuseaddr, " : ", oobinline, ") +
           std::to_string(value) + ")");
    return ShouldFail("setsockopt") ? kSocketError : 0;
  }
  int bind(SocketHandle s, std::uint16_t port) override {
    Record("bind(" + std::to_string(s) + ", " + std::to_string(port) + ")");
    return ShouldFail("bind") ? kSocketError : 0;
  }
  int listen(SocketHandle s, int backlog) override {
    Record("listen(" + std::to_string(s) + ", " + std::to_string(backlog) + ")");
    return ShouldFail("listen") ? kSocketError : 0;
  }
  int select(int nfds, ReadinessSet& read, ReadinessSet& write, ReadinessSet& except,
             long timeoutMicros) override {
    Record("select(" + std::to_string(timeoutMicros) + ")");
    lastSelectNfds = nfds;
    if (ShouldFail("select")) return kSocketError;
    if (onSelect) return onSelect(read, write, except);
    read.Clear();
    write.Clear();
    except.Clear();
    return 0;
  }
  SocketHandle accept(SocketHandle listener) override {
    Record("accept(" + std::to_string(listener) + ")");
    if (ShouldFail("accept")) return kInvalidSocket;
    if (deadPendingConnections_ > 0) {
      --deadPendingConnections_;
      return kNoClientAccepted;
    }
    return next_++;
  }
  int recv(SocketHandle s, char*, int len) override {
    Record("recv(" + std::to_string(s) + ", " + std::to_string(len) + ")");
    return onRecv ? onRecv(s, len) : 0;
  }
  int send(SocketHandle s, const char*, int len) override {
    Record("send(" + std::to_string(s) + ", " + std::to_string(len) + ")");
    return onSend ? onSend(s, len) : len;
  }
  int recvfrom(SocketHandle s, char* buf, int len, PeerAddress& from) override {
    Record("recvfrom(" + std::to_string(s) + ", " + std::to_string(len) + ")");
    if (datagrams.empty()) return kSocketError;
    const Datagram d = datagrams.front();
    datagrams.pop_front();
    from = d.from;
    for (int i = 0; i < d.result && i < len; ++i) buf[i] = 'd';
    return d.result;
  }
  int sendto(SocketHandle s, const char*, int len, const PeerAddress&) override {
    Record("sendto(" + std::to_string(s) + ", " + std::to_string(len) + ")");
    return len;
  }
  int closesocket(SocketHandle s) override {
    Record("closesocket(" + std::to_string(s) + ")");
    return 0;
  }
  int WSAGetLastError() override { return lastError_; }

  bool kbhit() override { return !keys.empty(); }
  int getch() override {
    Record("getch");
    const int key = keys.front();
    keys.pop_front();
    return key;
  }

  std::int64_t time() override {
    if (onTime) onTime();
    return now;
  }

  // The next accept finds its connection already gone.
  void DropNextPendingConnection() { ++deadPendingConnections_; }

  // The calls recorded so far whose text starts with the given prefix.
  [[nodiscard]] std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& call : calls) {
      if (call.rfind(prefix, 0) == 0) found.push_back(call);
    }
    return found;
  }

 private:
  struct Failure {
    int nth;
    int code;
  };

  void Record(std::string call) { calls.push_back(std::move(call)); }

  bool ShouldFail(const std::string& kind) {
    const int seen = ++seen_[kind];
    const auto it = failures_.find(kind);
    if (it == failures_.end() || it->second.nth != seen) return false;
    lastError_ = it->second.code;
    return true;
  }

  SocketHandle next_ = 3;
  int lastError_ = 0;
  int deadPendingConnections_ = 0;
  std::map<std::string, int> seen_;
  std::map<std::string, Failure> failures_;
};

}  // namespace orvane::testing
