#pragma once

#include <memory>

#include "tests/soak/load.h"
#include "tests/soak/traffic.h"

namespace orvane::soak {

// One slot of the churn: short-lived clients one after the other, each doing one of the things
// clients do to a server (reset, half-close, urgent data, stop reading), in turn.
std::unique_ptr<Participant> MakeChurnSlot(int index, const LoadConfig& config, Tally& tally);

}  // namespace orvane::soak
