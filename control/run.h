#pragma once

#include <cstdio>

#include "platform/platform.h"

namespace orvane {

// The whole program over a given platform: parse the command line, open the service sockets,
// serve until ESC, and report a fatal socket failure. Returns the exit status.
int RunProgram(int argc, const char* const* argv, Platform& platform, std::FILE* out,
               std::FILE* err);

}  // namespace orvane
