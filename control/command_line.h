#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "control/service_ports.h"

namespace orvane {

// Exit statuses of the program.
inline constexpr int kExitServed = 0;         // the operator pressed ESC
inline constexpr int kExitUsage = 1;          // usage text or an option error
inline constexpr int kExitSocketFailure = 2;  // a fatal socket failure was reported

// Writes the banner and usage text to err; returns kExitUsage.
int PrintUsage(std::FILE* err);

// Converts a decimal port value the way the classic C library does, made exact: leading white
// space, one optional sign, digits up to the first non-digit, accumulated modulo 2^32.
std::int32_t ConvertPortNumber(const char* text);

// Reads the command line into ports. Returns the exit status when the program must stop here
// (help was asked for, or an option was wrong, with its text already written to err).
std::optional<int> ParseCommandLine(int argc, const char* const* argv, ServicePorts& ports,
                                    std::FILE* err);

}  // namespace orvane
