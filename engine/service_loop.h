#pragma once

#include "control/service_ports.h"
#include "engine/service_state.h"

namespace orvane {

inline constexpr int kListenBacklog = 5;
inline constexpr long kSelectTimeoutMicros = 1000;
inline constexpr int kEscapeKey = 27;

// Opens the UDP echo socket and the two listening TCP sockets, in a fixed order, each call
// labelled for the failure report. Throws CSockException* on the first failing call.
void OpenServiceSockets(ServiceState& state, const ServicePorts& ports);

// Prints the header and serves until the operator presses ESC. Throws CSockException* on a
// fatal socket failure.
void RunServiceLoop(ServiceState& state);

// One pass: wait for readiness, serve, accept, and tick the status line once a second.
// Returns true when ESC was read and the loop must end.
bool RunServiceIteration(ServiceState& state);

}  // namespace orvane
