// The whole program, command line to exit status, over a platform whose every answer the
// fuzzer chooses: which opening call fails and with what code, which sockets select reports
// ready, what each accept, receive and send returns, the datagrams and their senders, when the
// second changes and which keys are pressed. The platform hands out the lowest free handle, as
// the kernel does, so that handles are reused right away.
//
// It checks, iteration by iteration, what the server promises whatever the network does:
// - the readiness sets hold the service sockets and then the clients, chargen clients first,
//   61 of them at most for reading and 64 for writing, and select is told the highest handle;
// - only clients that were connected when select returned are read, written or closed; each
//   at most once per iteration, and each one ready is served;
// - a client is closed exactly when it showed an exceptional condition, closed its side,
//   failed, or could not take back what was sent; every other client stays;
// - an echo client gets back exactly the bytes it sent, a chargen client the pattern block;
// - a datagram is answered, unchanged and to its sender, exactly when it is 1 to 1500 bytes
//   from a sender that may be answered;
// - a listening socket that is ready is accepted from while its table has room;
// - each status line shows exactly the traffic and clients of its second;
// - ESC ends the program with status 0 and nothing on standard error; a failed fatal call
//   ends it with status 2 and the report that names that call and its code's text.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "control/command_line.h"
#include "control/run.h"
#include "control/sock_exception.h"
#include "engine/service_loop.h"
#include "engine/service_state.h"
#include "engine/status_line.h"
#include "engine/tcp_chargen.h"
#include "engine/udp_echo.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using orvane::fuzz::Check;
using orvane::fuzz::MemoryStream;
using namespace orvane;

constexpr int kMostIterations = 4000;
constexpr std::uint32_t kMostClientsRead = kReadinessSetCapacity - 3;  // 3 service sockets

enum class Role { kUdpEcho, kChargenListen, kEchoListen, kChargenClient, kEchoClient };

bool IsClient(Role role) {
  return role == Role::kChargenClient || role == Role::kEchoClient;
}

// What one client went through in one iteration.
struct ClientIo {
  int recvCalls = 0;
  int recvResult = 0;
  std::string received;
  int sendCalls = 0;
  int sendLength = 0;
  int sendResult = 0;
  bool closed = false;
};

// One pass of the loop, from what select reported to the next select.
struct Iteration {
  std::map<SocketHandle, Role> clients;  // connected when select returned
  std::set<SocketHandle> readable, writable, exceptional;
  std::map<SocketHandle, ClientIo> io;
  int recvfromCalls = 0;
  int datagramLength = 0;
  PeerAddress sender;
  std::string datagram;
  int sendtoCalls = 0;
  int acceptCalls[2] = {0, 0};  // chargen, echo
};

class FuzzedPlatform final : public Platform {
 public:
  FuzzedPlatform(FuzzedDataProvider& input, std::uint16_t echoport, std::uint16_t chargenport)
      : in_(input), echoport_(echoport), chargenport_(chargenport) {
    failOpeningCall_ = in_.ConsumeIntegralInRange<int>(1, 32);  // 1 to 11 fail one of them
    failOpeningCode_ = in_.ConsumeIntegral<std::int32_t>();
  }

  // The report the program must have printed, and the output it must have written.
  std::optional<std::string> expectedFailure;
  std::string expectedOut;
  bool escapeGiven = false;

  SocketHandle socket(SockType type) override {
    if (FailOpening("socket()")) return kInvalidSocket;
    const SocketHandle s = LowestFreeHandle();
    if (type == SockType::Datagram) {
      Check(!udp_, "a second datagram socket");
      udp_ = s;
      open_[s] = Role::kUdpEcho;
    } else if (!chargenListen_) {
      chargenListen_ = s;
      open_[s] = Role::kChargenListen;
    } else {
      Check(!echoListen_, "a third stream socket");
      echoListen_ = s;
      open_[s] = Role::kEchoListen;
    }
    return s;
  }

  int setsockopt(SocketHandle s, SockOption option, int value) override {
    Check(value == 1, "an option set to other than 1");
    if (!serving_) {
      Check(option == SockOption::ReuseAddr && open_.contains(s), "an unexpected socket option");
      return FailOpening(LabelOf("setsockopt(", s, ", SO_REUSEADDR)")) ? kSocketError : 0;
    }
    Check(option == SockOption::OobInline && pendingClient_ && *pendingClient_ == s,
          "an option on anything but the client just accepted");
    const Role role = pendingRole_;
    pendingClient_.reset();
    if (in_.ConsumeIntegralInRange<int>(0, 63) == 0) {
      return Fail(role == Role::kChargenClient ? "setsockopt(sockTCPChargenClients)"
                                               : "setsockopt(sockTCPEchoClients)");
    }
    open_[s] = role;
    return 0;
  }

  int bind(SocketHandle s, std::uint16_t port) override {
    const Role role = open_.at(s);
    Check(port == (role == Role::kChargenListen ? chargenport_ : echoport_),
          "bound to a wrong port");
    const char* label = role == Role::kUdpEcho         ? "bind(udpechoport)"
                        : role == Role::kChargenListen ? "bind(tcpchargenport)"
                                                       : "bind(tcpechoport)";
    return FailOpening(label) ? kSocketError : 0;
  }

  int listen(SocketHandle s, int backlog) override {
    Check(open_.at(s) != Role::kUdpEcho && backlog == 5, "an unexpected listen");
    return FailOpening("listen()") ? kSocketError : 0;
  }

  int select(int nfds, ReadinessSet& read, ReadinessSet& write, ReadinessSet& except,
             long timeoutMicros) override {
    Check(serving_, "select before the header");
    Check(!escapeGiven, "the loop went on after ESC");
    Check(!keyWaiting_, "a waiting key was not read");
    Check(timeoutMicros == 1000, "a select timeout other than 1 ms");
    VerifyIteration();
    CheckSets(nfds, read, write, except);

    iteration_ = Iteration{};
    for (const auto& [s, role] : open_) {
      if (IsClient(role)) iteration_.clients[s] = role;
    }
    ++iterations_;
    if (in_.remaining_bytes() == 0 || iterations_ > kMostIterations) {
      // The input is used up: a quiet second, then ESC.
      ending_ = true;
      ++now_;
      read.Clear();
      write.Clear();
      except.Clear();
      return 0;
    }
    if (in_.ConsumeIntegralInRange<int>(0, 255) == 0) return Fail("select()");
    if (in_.ConsumeBool()) ++now_;
    KeepChosen(read, iteration_.readable, 3);
    KeepChosen(write, iteration_.writable, 0);
    KeepChosen(except, iteration_.exceptional, 0);
    return static_cast<int>(read.count + write.count + except.count);
  }

  SocketHandle accept(SocketHandle listener) override {
    const Role role = open_.at(listener);
    Check(role == Role::kChargenListen || role == Role::kEchoListen, "accept on a non-listener");
    Check(iteration_.readable.contains(listener), "accept on a listener that was not ready");
    const bool chargen = role == Role::kChargenListen;
    Check(++iteration_.acceptCalls[chargen ? 0 : 1] == 1, "two accepts in one iteration");
    Check(ClientCount(chargen ? Role::kChargenClient : Role::kEchoClient) < kMaxClients,
          "accept into a full table");
    const int outcome = in_.ConsumeIntegralInRange<int>(0, 31);
    if (outcome == 0) {
      Fail(chargen ? "accept(sockTCPChargenListen)" : "accept(sockTCPEchoListen)");
      return kInvalidSocket;
    }
    if (outcome == 1) return kNoClientAccepted;
    // Taken, and a client once its socket option is set.
    const SocketHandle s = LowestFreeHandle();
    pendingClient_ = s;
    pendingRole_ = chargen ? Role::kChargenClient : Role::kEchoClient;
    return s;
  }

  int recv(SocketHandle s, char* buf, int len) override {
    ClientIo& io = ClientInThisIteration(s);
    Check(++io.recvCalls == 1, "two receives from one client in one iteration");
    Check(len == (iteration_.clients.at(s) == Role::kChargenClient ? kTCPChargenInBufferSize
                                                                   : kTCPEchoBufferSize),
          "a receive into a wrong buffer size");
    io.recvResult = in_.ConsumeIntegralInRange<int>(-1, len);
    for (int i = 0; i < io.recvResult; ++i) {
      buf[i] = static_cast<char>(++byteSeed_ * 37u >> 3);
      io.received.push_back(buf[i]);
    }
    return io.recvResult;
  }

  int send(SocketHandle s, const char* buf, int len) override {
    ClientIo& io = ClientInThisIteration(s);
    Check(++io.sendCalls == 1, "two sends to one client in one iteration");
    io.sendLength = len;
    if (iteration_.clients.at(s) == Role::kChargenClient) {
      Check(len == kTCPChargenBlockSize, "a chargen send of other than one block");
      for (int k = 0; k < len; ++k) {
        Check(buf[k] == static_cast<char>(kChargenFirstChar + k % kChargenCycleLength),
              "a chargen block that is not the pattern");
      }
    } else {
      Check(std::string(buf, static_cast<std::size_t>(std::max(len, 0))) == io.received,
            "an echo that is not what the client sent");
    }
    const int outcome = in_.ConsumeIntegralInRange<int>(0, 7);
    io.sendResult = outcome == 0   ? kSocketError
                    : outcome == 1 ? in_.ConsumeIntegralInRange<int>(0, std::max(len - 1, 0))
                                   : len;
    if (io.sendResult == len) {
      if (iteration_.clients.at(s) == Role::kChargenClient) {
        chargenBytes_ += kTCPChargenBlockWireBytes;
      } else {
        echoBytes_ += static_cast<std::uint32_t>(len) + kTCPHeaderBytes;
      }
    }
    return io.sendResult;
  }

  int recvfrom(SocketHandle s, char* buf, int len, PeerAddress& from) override {
    Check(udp_ && s == *udp_ && iteration_.readable.contains(s), "recvfrom when not ready");
    Check(++iteration_.recvfromCalls == 1, "two datagrams in one iteration");
    Check(len == kUDPEchoBufferSize, "a datagram buffer of a wrong size");
    // A longer datagram is a failed receive on every platform.
    const int n = in_.ConsumeIntegralInRange<int>(-1, len);
    from.address = in_.ConsumeIntegral<std::uint32_t>();
    from.port = in_.ConsumeIntegral<std::uint16_t>();
    iteration_.datagramLength = n;
    iteration_.sender = from;
    for (int i = 0; i < n; ++i) {
      buf[i] = static_cast<char>(++byteSeed_ * 37u >> 3);
      iteration_.datagram.push_back(buf[i]);
    }
    return n;
  }

  int sendto(SocketHandle s, const char* buf, int len, const PeerAddress& to) override {
    Check(udp_ && s == *udp_, "sendto on another socket");
    Check(++iteration_.sendtoCalls == 1, "two answers in one iteration");
    Check(len == iteration_.datagramLength &&
              std::string(buf, static_cast<std::size_t>(std::max(len, 0))) == iteration_.datagram,
          "an answer that is not the datagram");
    Check(to.address == iteration_.sender.address && to.port == iteration_.sender.port,
          "an answer to someone other than the sender");
    ++udpPackets_;
    udpBytes_ += static_cast<std::uint32_t>(len) + kUDPHeaderBytes;
    return in_.ConsumeBool() ? len : kSocketError;  // not looked at
  }

  int closesocket(SocketHandle s) override {
    ClientIo& io = ClientInThisIteration(s);
    io.closed = true;
    open_.erase(s);
    return 0;
  }

  int WSAGetLastError() override {
    Check(lastErrorFresh_, "the error code read late or without a failure");
    lastErrorFresh_ = false;
    return lastError_;
  }

  bool kbhit() override {
    Check(tickPending_, "the keyboard looked at outside a status tick");
    tickPending_ = false;
    keyWaiting_ = ending_ || in_.ConsumeIntegralInRange<int>(0, 3) == 0;
    return keyWaiting_;
  }

  int getch() override {
    Check(keyWaiting_, "a key read that was not waiting");
    keyWaiting_ = false;
    const int key = ending_ ? kEscapeKey : in_.ConsumeIntegral<std::uint8_t>();
    escapeGiven = key == kEscapeKey;
    return key;
  }

  std::int64_t time() override {
    if (!serving_) {
      // Read right after the header: everything was opened.
      serving_ = true;
      expectedOut = kStatusHeader;
      shownSecond_ = now_;
      return now_;
    }
    if (secondReadingDue_) {
      secondReadingDue_ = false;
      return now_;
    }
    Check(!tickPending_, "a status tick without a look at the keyboard");
    if (now_ != shownSecond_) {
      // A new second: the program reads the clock again, prints this line and looks at one key.
      shownSecond_ = now_;
      secondReadingDue_ = true;
      tickPending_ = true;
      char line[kStatusLineCapacity];
      const std::size_t length =
          FormatStatusLine({udpPackets_, udpBytes_, ClientCount(Role::kChargenClient),
                            chargenBytes_, ClientCount(Role::kEchoClient), echoBytes_},
                           line, sizeof line);
      expectedOut.append(line, length);
      udpPackets_ = udpBytes_ = chargenBytes_ = echoBytes_ = 0;
    }
    return now_;
  }

  // Checks the last iteration once the program has returned normally.
  void Finish() {
    Check(!tickPending_ && !keyWaiting_, "the program ended before the key was read");
    VerifyIteration();
  }

 private:
  std::string LabelOf(const char* before, SocketHandle s, const char* after) {
    const Role role = open_.at(s);
    const char* name = role == Role::kUdpEcho         ? "sockUDPEcho"
                       : role == Role::kChargenListen ? "sockTCPChargenListen"
                                                      : "sockTCPEchoListen";
    return std::string(before).append(name).append(after);
  }

  bool FailOpening(const std::string& label) {
    if (++openingCalls_ != failOpeningCall_) return false;
    lastError_ = failOpeningCode_;
    lastErrorFresh_ = true;
    expectedFailure = std::string("\n")
                          .append(label)
                          .append(": ")
                          .append(SockErrorText(failOpeningCode_))
                          .append("\n");
    return true;
  }

  int Fail(const char* label) {
    lastError_ = in_.ConsumeIntegral<std::int32_t>();
    lastErrorFresh_ = true;
    expectedFailure =
        std::string("\n").append(label).append(": ").append(SockErrorText(lastError_)).append("\n");
    return kSocketError;
  }

  SocketHandle LowestFreeHandle() const {
    SocketHandle s = 3;  // after standard input, output and error
    while (open_.contains(s) || (pendingClient_ && *pendingClient_ == s)) ++s;
    return s;
  }

  std::uint32_t ClientCount(Role role) const {
    return static_cast<std::uint32_t>(
        std::count_if(open_.begin(), open_.end(), [&](const auto& e) { return e.second == role; }));
  }

  // A client that was connected when select returned and has not been closed since.
  ClientIo& ClientInThisIteration(SocketHandle s) {
    Check(iteration_.clients.contains(s), "a call on a socket that is no client of this pass");
    ClientIo& io = iteration_.io[s];
    Check(!io.closed, "a call on a client already closed");
    return io;
  }

  // Leaves in the set what the input makes ready: all of it, none of it, only its first
  // `leading` entries (the service sockets of the read set), or the entries of a chosen mask.
  // The short forms let a run reach many clients without spending its input on masks.
  void KeepChosen(ReadinessSet& set, std::set<SocketHandle>& chosen, std::uint32_t leading) {
    std::uint64_t mask = 0;
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        mask = ~std::uint64_t{0};
        break;
      case 1:
        mask = 0;
        break;
      case 2:
        mask = (std::uint64_t{1} << leading) - 1;
        break;
      default: {
        const std::uint64_t all =
            set.count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << set.count) - 1;
        mask = in_.ConsumeIntegralInRange<std::uint64_t>(0, all);
      }
    }
    set.KeepReady([&](std::uint32_t i) {
      const bool ready = ((mask >> i) & 1u) != 0;
      if (ready) chosen.insert(set.sockets[i]);
      return ready;
    });
  }

  void CheckSets(int nfds, const ReadinessSet& read, const ReadinessSet& write,
                 const ReadinessSet& except) const {
    SocketHandle highest = 0;
    std::vector<SocketHandle> chargen;
    std::vector<SocketHandle> echo;
    for (const auto& [s, role] : open_) {
      highest = std::max(highest, s);
      if (role == Role::kChargenClient) chargen.push_back(s);
      if (role == Role::kEchoClient) echo.push_back(s);
    }
    Check(nfds == static_cast<int>(highest) + 1, "select not told the highest handle");
    const std::uint32_t total = static_cast<std::uint32_t>(chargen.size() + echo.size());
    Check(read.count == 3 + std::min(total, kMostClientsRead), "a read set of a wrong size");
    Check(write.count == std::min(total, kReadinessSetCapacity), "a write set of a wrong size");
    Check(except.count == write.count, "an exceptional set of a wrong size");
    Check(read.sockets[0] == *udp_ && read.sockets[1] == *chargenListen_ &&
              read.sockets[2] == *echoListen_,
          "the service sockets are not first in the read set");
    std::set<SocketHandle> seen;
    for (std::uint32_t i = 0; i < write.count; ++i) {
      const SocketHandle s = write.sockets[i];
      Check(except.sockets[i] == s, "the exceptional set differs from the write set");
      if (i + 3 < read.count) Check(read.sockets[i + 3] == s, "the read set's clients differ");
      Check(seen.insert(s).second, "a client twice in a set");
      const bool isChargen = std::find(chargen.begin(), chargen.end(), s) != chargen.end();
      const bool isEcho = std::find(echo.begin(), echo.end(), s) != echo.end();
      Check(isChargen || isEcho, "a set holds a socket that is no client");
      Check(isChargen == (i < chargen.size()), "chargen clients are not first in the sets");
    }
  }

  void VerifyIteration() {
    const Iteration& it = iteration_;
    std::uint32_t removed[2] = {0, 0};
    for (const auto& [s, role] : it.clients) {
      const bool chargen = role == Role::kChargenClient;
      const auto found = it.io.find(s);
      const ClientIo io = found == it.io.end() ? ClientIo{} : found->second;
      bool mustGo = false;
      if (it.exceptional.contains(s)) {
        Check(io.recvCalls == 0 && io.sendCalls == 0, "a client with an exception was served");
        mustGo = true;
      } else if (chargen) {
        Check(io.recvCalls == (it.readable.contains(s) ? 1 : 0), "a chargen client read wrongly");
        const bool readFailed = io.recvCalls == 1 && io.recvResult <= 0;
        const bool sendDue = !readFailed && it.writable.contains(s);
        Check(io.sendCalls == (sendDue ? 1 : 0), "a chargen client written wrongly");
        mustGo = readFailed || (sendDue && io.sendResult != io.sendLength);
      } else {
        const bool due = it.readable.contains(s) && it.writable.contains(s);
        Check(io.recvCalls == (due ? 1 : 0), "an echo client read wrongly");
        const bool readFailed = due && io.recvResult <= 0;
        Check(io.sendCalls == (due && !readFailed ? 1 : 0), "an echo client written wrongly");
        Check(io.sendCalls == 0 || io.sendLength == io.recvResult, "an echo of a wrong length");
        mustGo = readFailed || (io.sendCalls == 1 && io.sendResult < io.sendLength);
      }
      Check(io.closed == mustGo,
            mustGo ? "a client that had to go was kept" : "a client that could stay was closed");
      if (io.closed) ++removed[chargen ? 0 : 1];
    }

    const bool udpReady = udp_ && it.readable.contains(*udp_);
    Check(it.recvfromCalls == (udpReady ? 1 : 0), "the datagram socket read wrongly");
    const PeerAddress& from = it.sender;
    const std::uint32_t lastOctet = from.address & 0xFFu;
    const bool answerable = it.recvfromCalls == 1 && it.datagramLength >= 1 && from.port >= 1024 &&
                            lastOctet != 0 && lastOctet != 255 && from.port != echoport_;
    Check(it.sendtoCalls == (answerable ? 1 : 0), "a datagram answered wrongly");

    const Role clients[2] = {Role::kChargenClient, Role::kEchoClient};
    for (int k = 0; k < 2; ++k) {
      std::uint32_t before = 0;
      for (const auto& [s, role] : it.clients) before += role == clients[k] ? 1 : 0;
      const SocketHandle listener = k == 0 ? *chargenListen_ : *echoListen_;
      const bool due = it.readable.contains(listener) && before - removed[k] < kMaxClients;
      Check(it.acceptCalls[k] == (due ? 1 : 0), "a ready listener accepted from wrongly");
    }
  }

  FuzzedDataProvider& in_;
  const std::uint16_t echoport_;
  const std::uint16_t chargenport_;
  int failOpeningCall_ = 0;
  std::int32_t failOpeningCode_ = 0;
  int openingCalls_ = 0;

  std::map<SocketHandle, Role> open_;
  std::optional<SocketHandle> udp_, chargenListen_, echoListen_;
  std::optional<SocketHandle> pendingClient_;
  Role pendingRole_ = Role::kChargenClient;

  bool serving_ = false;
  bool ending_ = false;
  int iterations_ = 0;
  Iteration iteration_;
  std::uint32_t byteSeed_ = 0;

  std::int32_t lastError_ = 0;
  bool lastErrorFresh_ = false;

  std::int64_t now_ = 1000;
  std::int64_t shownSecond_ = 0;
  bool secondReadingDue_ = false;
  bool tickPending_ = false;
  bool keyWaiting_ = false;
  std::uint32_t udpPackets_ = 0, udpBytes_ = 0, chargenBytes_ = 0, echoBytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto echoport = input.ConsumeIntegralInRange<std::uint16_t>(1, 65535);
  const auto chargenport = input.ConsumeIntegralInRange<std::uint16_t>(1, 65535);
  FuzzedPlatform platform(input, echoport, chargenport);
  const std::string e = std::to_string(echoport);
  const std::string c = std::to_string(chargenport);
  const char* argv[] = {"orvane", "-e", e.c_str(), "-c", c.c_str(), nullptr};

  MemoryStream out;
  MemoryStream err;
  const int status = RunProgram(5, argv, platform, out.get(), err.get());
  const std::string outText = out.Close();
  const std::string errText = err.Close();

  if (platform.expectedFailure) {
    Check(status == kExitSocketFailure, "a failed call did not end with status 2");
    Check(errText == *platform.expectedFailure, "a wrong failure report");
  } else {
    Check(status == kExitServed && platform.escapeGiven, "ended without ESC or failure");
    Check(errText.empty(), "something on standard error after ESC");
    platform.Finish();
  }
  Check(outText == platform.expectedOut, "the header and status lines are not as expected");
  return 0;
}
