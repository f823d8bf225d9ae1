// Letting a host cut short a long wait of control code on its thread. Opening a network
// port waits for its server for up to seconds; a host whose user asks to stop meanwhile (a
// script's Ctrl+C) sets a check for its thread, which such a wait asks at least every
// kWaitCheckInterval. Once the check says yes, the wait gives up and the call fails as it
// would at its time-out, with a description saying it was interrupted; the check is not
// asked again by that call. Without a check, waits run their full course.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <chrono>

namespace platform {

inline constexpr std::chrono::milliseconds kWaitCheckInterval{100};

// True when the host wants the wait under way given up. Called on the waiting thread.
using WaitInterruptionCheck = bool (*)();

// Sets the calling thread's check (nullptr: none); returns the one it replaces.
CORVANE_PLATFORM_EXPORT WaitInterruptionCheck setWaitInterruptionCheck(WaitInterruptionCheck check);

// Asks the calling thread's check: false when it has none.
CORVANE_PLATFORM_EXPORT bool waitInterrupted();

}  // namespace platform
