#pragma once

#include "input/injection_state.h"

namespace tovel {

// How long an injected modifier press keeps counting as held when its release never comes.
inline constexpr double kModifierHoldSeconds = 15.0;

// The flags a mouse press is delivered with: its own, plus those of every modifier pair one of
// whose keys was pressed through injection less than kModifierHoldSeconds ago and not released.
EventFlags modifierTapFlags(const ModifierState& state, double now, EventFlags current);

} // namespace tovel
