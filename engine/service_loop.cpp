#include "engine/service_loop.h"

#include <algorithm>

#include "control/sock_exception.h"
#include "engine/status_line.h"
#include "engine/tcp_chargen.h"
#include "engine/tcp_echo.h"
#include "engine/udp_echo.h"

namespace orvane {

namespace {

// How each kind of socket call reports failure.
bool Failed(int result) {
  return result == kSocketError;
}
bool Failed(SocketHandle s) {
  return s == kInvalidSocket;
}

// The labelled-call pattern: name the call for the failure report, make it, throw on failure.
template <typename Call>
auto CheckedCall(ServiceState& state, const char* label, Call call) {
  state.pszSockCall = label;
  const auto result = call();
  if (Failed(result)) ThrowSockException(state.platform);
  return result;
}

struct ServiceSocketPlan {
  SockType type;
  const char* setsockoptLabel;
  const char* bindLabel;
  bool listens;
};

SocketHandle OpenServiceSocket(ServiceState& state, const ServiceSocketPlan& plan,
                               std::uint16_t port) {
  Platform& os = state.platform;
  const SocketHandle s = CheckedCall(state, "socket()", [&] { return os.socket(plan.type); });
  CheckedCall(state, plan.setsockoptLabel,
              [&] { return os.setsockopt(s, SockOption::ReuseAddr, 1); });
  CheckedCall(state, plan.bindLabel, [&] { return os.bind(s, port); });
  if (plan.listens) CheckedCall(state, "listen()", [&] { return os.listen(s, kListenBacklog); });
  return s;
}

// Builds the three readiness sets: the service sockets for reading, then every client of both
// tables for all three kinds of event, chargen clients first. Returns select's first argument,
// one more than the largest handle, counting clients that did not fit into the sets.
int BuildReadinessSets(ServiceState& state) {
  state.fdsRead.Clear();
  state.fdsWrite.Clear();
  state.fdsExcept.Clear();
  SocketHandle highest =
      std::max({state.sockUDPEcho, state.sockTCPChargenListen, state.sockTCPEchoListen});
  state.fdsRead.Add(state.sockUDPEcho);
  state.fdsRead.Add(state.sockTCPChargenListen);
  state.fdsRead.Add(state.sockTCPEchoListen);
  for (const ClientTable* table : {&state.sockTCPChargenClients, &state.sockTCPEchoClients}) {
    for (std::uint32_t i = 0; i < table->count; ++i) {
      const SocketHandle s = table->sockets[i];
      state.fdsRead.Add(s);
      state.fdsWrite.Add(s);
      state.fdsExcept.Add(s);
      highest = std::max(highest, s);
    }
  }
  return static_cast<int>(highest + 1);
}

// Takes at most one pending client of a listening socket into its table.
void AcceptClient(ServiceState& state, SocketHandle listener, ClientTable& table,
                  const char* acceptLabel, const char* setsockoptLabel) {
  if (!state.fdsRead.Contains(listener) || table.Full()) return;
  Platform& os = state.platform;
  const SocketHandle client = CheckedCall(state, acceptLabel, [&] { return os.accept(listener); });
  if (client == kNoClientAccepted) return;
  // Urgent data joins the ordinary stream, so it is echoed or discarded like any other byte.
  CheckedCall(state, setsockoptLabel,
              [&] { return os.setsockopt(client, SockOption::OobInline, 1); });
  table.Append(client);
}

// Once the second has changed: print the status line, start the counters afresh, and look at
// one key press. Returns true on ESC.
bool StatusTick(ServiceState& state) {
  Platform& os = state.platform;
  if (os.time() == state.tLastStatus) return false;
  state.tLastStatus = os.time();

  char line[kStatusLineCapacity];
  const std::size_t length =
      FormatStatusLine({state.nUDPEchoPackets, state.nUDPEchoBytes, state.nTCPChargenClients(),
                        state.nTCPChargenBytes, state.nTCPEchoClients(), state.nTCPEchoBytes},
                       line, sizeof line);
  (void)std::fwrite(line, 1, length, state.out);
  state.nUDPEchoPackets = 0;
  state.nUDPEchoBytes = 0;
  state.nTCPChargenBytes = 0;
  state.nTCPEchoBytes = 0;
  (void)std::fflush(state.out);

  return os.kbhit() && os.getch() == kEscapeKey;
}

}  // namespace

void RemoveClient(ServiceState& state, ClientTable& table, std::uint32_t i) {
  (void)state.platform.closesocket(table.sockets[i]);
  table.Forget(i);
}

void OpenServiceSockets(ServiceState& state, const ServicePorts& ports) {
  state.udpechoport = PortOf(ports.echoport);
  state.sockUDPEcho = OpenServiceSocket(
      state,
      {SockType::Datagram, "setsockopt(sockUDPEcho, SO_REUSEADDR)", "bind(udpechoport)", false},
      PortOf(ports.echoport));
  state.sockTCPChargenListen =
      OpenServiceSocket(state,
                        {SockType::Stream, "setsockopt(sockTCPChargenListen, SO_REUSEADDR)",
                         "bind(tcpchargenport)", true},
                        PortOf(ports.chargenport));
  state.sockTCPEchoListen = OpenServiceSocket(
      state,
      {SockType::Stream, "setsockopt(sockTCPEchoListen, SO_REUSEADDR)", "bind(tcpechoport)", true},
      PortOf(ports.echoport));
}

bool RunServiceIteration(ServiceState& state) {
  const int nfds = BuildReadinessSets(state);
  const int ready = CheckedCall(state, "select()", [&] {
    return state.platform.select(nfds, state.fdsRead, state.fdsWrite, state.fdsExcept,
                                 kSelectTimeoutMicros);
  });
  if (ready != 0) {
    if (state.fdsRead.Contains(state.sockUDPEcho)) ServeUDPEcho(state);
    ServeTCPChargenClients(state);
    ServeTCPEchoClients(state);
    // New clients come last, so a client is first served in the iteration after its accept,
    // and a slot freed by a service pass is refilled at once.
    AcceptClient(state, state.sockTCPChargenListen, state.sockTCPChargenClients,
                 "accept(sockTCPChargenListen)", "setsockopt(sockTCPChargenClients)");
    AcceptClient(state, state.sockTCPEchoListen, state.sockTCPEchoClients,
                 "accept(sockTCPEchoListen)", "setsockopt(sockTCPEchoClients)");
  }
  return StatusTick(state);
}

void RunServiceLoop(ServiceState& state) {
  // Not flushed here: through a pipe the header travels with the first status line.
  std::fputs(kStatusHeader, state.out);
  state.tLastStatus = state.platform.time();
  while (!RunServiceIteration(state)) {
  }
}

}  // namespace orvane
