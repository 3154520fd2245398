// The hand-off of finished block headers from the device's notification to
// the engine's completion thread. Pushing takes nothing but a short lock and
// a wake-up, which is all the platform allows inside its notification; on
// Windows those are a critical section and an event.
#pragma once

#include "platform/wave_api.h"

namespace vantoro {

// Empties the ring and clears the quit request; before each open.
void DoneRingReset();

// Records one finished header. At most four blocks are in flight, so the ring
// never fills; should a misbehaving device report more, the surplus is
// dropped.
void DoneRingPush(WAVEHDR* header);

// Waits for the next header in the order pushed; null once quit was asked and
// the ring is empty.
WAVEHDR* DoneRingPop();

// Asks the waiting completion thread to return once the ring is empty.
void DoneRingQuit();

} // namespace vantoro
