#include "engine/engine_state.h"

namespace vantoro {

EngineState engineState;

} // namespace vantoro
