#pragma once

#include "engine/service_state.h"

namespace orvane {

// Sends back what each echo client sent, one receive at a time, to clients that are both
// readable and writable; removes clients that closed, failed or could not take their data
// back whole.
void ServeTCPEchoClients(ServiceState& state);

}  // namespace orvane
