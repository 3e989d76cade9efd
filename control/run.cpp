#include "control/run.h"

#include "control/command_line.h"
#include "control/sock_exception.h"
#include "engine/service_loop.h"
#include "engine/service_state.h"
#include "engine/tcp_chargen.h"

namespace orvane {

int RunProgram(int argc, const char* const* argv, Platform& platform, std::FILE* out,
               std::FILE* err) {
  ServicePorts ports;
  if (const auto status = ParseCommandLine(argc, argv, ports, err)) return *status;

  // The socket layer of this platform needs no start-up call.
  ServiceState state(platform, out);
  FillChargenPattern(state);
  try {
    OpenServiceSockets(state, ports);
    RunServiceLoop(state);
  } catch (CSockException* failure) {
    const char* text = failure != nullptr ? failure->GetErrorText() : SockErrorText(-1);
    std::fprintf(err, "\n%s: %s\n", state.pszSockCall, text);
    if (failure != nullptr) failure->Delete();
    // A server that could not serve must not look like one that was stopped on purpose.
    return kExitSocketFailure;
  }
  // Sockets are left open on purpose: the end of the process releases them.
  return kExitServed;
}

}  // namespace orvane
