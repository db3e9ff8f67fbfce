// The state of a system service as the service control reports it, with
// the states, check point and wait hint of the Windows service manager:
// a service in a pending state reports progress by raising its check point
// and says how long the current step may take in its wait hint.
#pragma once

#include <cstdint>

namespace ServiceState {
constexpr std::uint32_t Stopped = 1;
constexpr std::uint32_t StartPending = 2;
constexpr std::uint32_t StopPending = 3;
constexpr std::uint32_t Running = 4;
constexpr std::uint32_t ContinuePending = 5;
constexpr std::uint32_t PausePending = 6;
constexpr std::uint32_t Paused = 7;
} // namespace ServiceState

struct ServiceStatus {
    std::uint32_t currentState = ServiceState::Stopped;
    std::uint32_t exitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0; // milliseconds
};
