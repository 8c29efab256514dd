// The miniport's routines as NDIS documentation names them, for the host's
// messages and for the rules that depend on which routine runs.
#pragma once

#include <string_view>

namespace kl::sim {

inline constexpr std::string_view kDriverEntry = "DriverEntry";
inline constexpr std::string_view kMiniportInitialize = "MiniportInitialize";
inline constexpr std::string_view kMiniportHalt = "MiniportHalt";
inline constexpr std::string_view kMiniportSend = "MiniportSend";
inline constexpr std::string_view kMiniportQueryInformation = "MiniportQueryInformation";
inline constexpr std::string_view kMiniportSetInformation = "MiniportSetInformation";
inline constexpr std::string_view kMiniportReset = "MiniportReset";
inline constexpr std::string_view kMiniportCheckForHang = "MiniportCheckForHang";
inline constexpr std::string_view kMiniportTransferData = "MiniportTransferData";
inline constexpr std::string_view kMiniportHandleInterrupt = "MiniportHandleInterrupt";
inline constexpr std::string_view kMiniportTimer = "MiniportTimer";
inline constexpr std::string_view kMiniportIsr = "MiniportISR";
inline constexpr std::string_view kMiniportDisableInterrupt = "MiniportDisableInterrupt";
inline constexpr std::string_view kMiniportEnableInterrupt = "MiniportEnableInterrupt";
inline constexpr std::string_view kMiniportSynchronizeIsr = "MiniportSynchronizeISR";

}  // namespace kl::sim
