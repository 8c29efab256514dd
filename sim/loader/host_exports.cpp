#include "sim/loader/host_exports.h"

#include <algorithm>
#include <cstring>

#include "platform/ndis.h"
#include "windows/platform_exports.h"

namespace kl::sim {

namespace {

// The stdcall decoration follows from the declaration: each argument takes a
// whole number of 4-byte stack slots. Only NTAPI declarations convert to this
// parameter, so a plain C function cannot be listed as one by mistake.
template <class R, class... Args>
constexpr unsigned stdcallArgumentBytes(R(NTAPI* /*function*/)(Args...)) {
  // Each argument's own size is wanted, pointers included.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  return (0U + ... + static_cast<unsigned>((sizeof(Args) + 3) / 4 * 4));
}

template <class F>
HostExport stdcallExport(std::string_view module, std::string_view name, F* function) {
  return {module, name, stdcallArgumentBytes(function), reinterpret_cast<const void*>(function)};
}

template <class F>
HostExport cdeclExport(std::string_view module, std::string_view name, F* function) {
  return {module, name, std::nullopt, reinterpret_cast<const void*>(function)};
}

constexpr std::string_view kNdis = "NDIS.SYS";
constexpr std::string_view kHal = "HAL.dll";
constexpr std::string_view kKernel = "ntoskrnl.exe";

#define KL_NDIS_EXPORT(name) stdcallExport(kNdis, #name, &(name))
#define KL_HAL_EXPORT(name) stdcallExport(kHal, #name, &(name))
// The kernel's memory routines are the C library's, as for a linked driver.
#define KL_KERNEL_EXPORT(name) cdeclExport(kKernel, #name, &::name)

}  // namespace

// Every operation of platform/ndis.h and platform/hal.h; one declared there
// belongs here too.
HostExports::HostExports()
    : exports_{
          KL_NDIS_EXPORT(NdisInitializeWrapper),
          KL_NDIS_EXPORT(NdisMRegisterMiniport),
          KL_NDIS_EXPORT(NdisMSetAttributesEx),
          KL_NDIS_EXPORT(NdisOpenConfiguration),
          KL_NDIS_EXPORT(NdisCloseConfiguration),
          KL_NDIS_EXPORT(NdisReadConfiguration),
          KL_NDIS_EXPORT(NdisReadNetworkAddress),
          KL_NDIS_EXPORT(NdisSystemProcessorCount),
          KL_NDIS_EXPORT(NdisReadMcaPosInformation),
          KL_NDIS_EXPORT(NdisReadPcmciaAttributeMemory),
          KL_NDIS_EXPORT(NdisAllocateMemory),
          KL_NDIS_EXPORT(NdisFreeMemory),
          KL_NDIS_EXPORT(NdisMRegisterIoPortRange),
          KL_NDIS_EXPORT(NdisMDeregisterIoPortRange),
          KL_NDIS_EXPORT(NdisMRegisterInterrupt),
          KL_NDIS_EXPORT(NdisMDeregisterInterrupt),
          KL_NDIS_EXPORT(NdisMSynchronizeWithInterrupt),
          KL_NDIS_EXPORT(NdisMInitializeTimer),
          KL_NDIS_EXPORT(NdisMSetPeriodicTimer),
          KL_NDIS_EXPORT(NdisMCancelTimer),
          KL_NDIS_EXPORT(NdisQueryBuffer),
          KL_NDIS_EXPORT(NdisMSendComplete),
          // Its values follow as variable arguments, which only a cdecl
          // caller can pop.
          cdeclExport(kNdis, "NdisWriteErrorLogEntry", &NdisWriteErrorLogEntry),
          KL_HAL_EXPORT(READ_PORT_UCHAR),
          KL_HAL_EXPORT(READ_PORT_USHORT),
          KL_HAL_EXPORT(READ_PORT_BUFFER_UCHAR),
          KL_HAL_EXPORT(READ_PORT_BUFFER_USHORT),
          KL_HAL_EXPORT(WRITE_PORT_UCHAR),
          KL_HAL_EXPORT(WRITE_PORT_USHORT),
          KL_HAL_EXPORT(WRITE_PORT_BUFFER_UCHAR),
          KL_HAL_EXPORT(WRITE_PORT_BUFFER_USHORT),
          KL_HAL_EXPORT(KeStallExecutionProcessor),
          KL_KERNEL_EXPORT(memcpy),
          KL_KERNEL_EXPORT(memmove),
          KL_KERNEL_EXPORT(memset),
      } {}

const HostExport* HostExports::find(std::string_view module, std::string_view name) const {
  const auto it = std::ranges::find_if(exports_, [&](const HostExport& entry) {
    return entry.name == name && windows::sameModuleName(entry.module, module);
  });
  return it == exports_.end() ? nullptr : &*it;
}

}  // namespace kl::sim
