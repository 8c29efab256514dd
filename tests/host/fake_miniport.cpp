#include "fake_miniport.h"

namespace kl::sim::testing {

namespace {

FakeHandlers* installed = nullptr;

// The adapter context the fake hands to NdisMSetAttributesEx.
int fakeContext = 0;

void enter() {
  if (installed->entered) {
    installed->entered();
  }
}

VOID NTAPI Disable(NDIS_HANDLE /*context*/) {
  enter();
  if (installed->disableInterrupt) {
    installed->disableInterrupt();
  }
}
VOID NTAPI Enable(NDIS_HANDLE /*context*/) {
  enter();
  if (installed->enableInterrupt) {
    installed->enableInterrupt();
  }
}
VOID NTAPI HandleInterrupt(NDIS_HANDLE /*context*/) {
  enter();
  if (installed->handleInterrupt) {
    installed->handleInterrupt();
  }
}
VOID NTAPI Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE /*context*/) {
  enter();
  *recognized = FALSE;
  *queue = FALSE;
  if (installed->isr) {
    installed->isr(*recognized, *queue);
  }
}
VOID NTAPI Halt(NDIS_HANDLE /*context*/) {
  enter();
  if (installed->halt) {
    installed->halt();
  }
}
NDIS_STATUS NTAPI Initialize(PNDIS_STATUS /*openError*/, PUINT selected, PNDIS_MEDIUM /*media*/,
                             UINT /*count*/, NDIS_HANDLE adapterHandle,
                             NDIS_HANDLE /*configuration*/) {
  *selected = 0;
  enter();
  NdisMSetAttributesEx(adapterHandle, &fakeContext, 0, 0, NdisInterfaceIsa);
  return installed->initialize ? installed->initialize(adapterHandle) : NDIS_STATUS_SUCCESS;
}
NDIS_STATUS NTAPI Send(NDIS_HANDLE /*context*/, PNDIS_PACKET packet, UINT /*flags*/) {
  enter();
  return installed->send ? installed->send(*packet) : NDIS_STATUS_SUCCESS;
}
NDIS_STATUS NTAPI Unsupported(NDIS_HANDLE /*context*/, NDIS_OID /*oid*/, PVOID /*buffer*/,
                              ULONG /*length*/, PULONG /*done*/, PULONG /*needed*/) {
  enter();
  return NDIS_STATUS_NOT_SUPPORTED;
}
NDIS_STATUS NTAPI Reset(PBOOLEAN /*addressingReset*/, NDIS_HANDLE /*context*/) {
  enter();
  return NDIS_STATUS_SUCCESS;
}
BOOLEAN NTAPI CheckForHang(NDIS_HANDLE /*context*/) {
  enter();
  return installed->checkForHang() ? TRUE : FALSE;
}

}  // namespace

FakeMiniport::FakeMiniport(FakeHandlers handlers) : handlers_(std::move(handlers)) {
  installed = &handlers_;
}

FakeMiniport::~FakeMiniport() { installed = nullptr; }

NTSTATUS NTAPI FakeMiniport::DriverEntry(PDRIVER_OBJECT driverObject,
                                         PUNICODE_STRING registryPath) {
  NDIS_HANDLE wrapper = nullptr;
  NdisInitializeWrapper(&wrapper, driverObject, registryPath, nullptr);
  NDIS40_MINIPORT_CHARACTERISTICS table{};
  table.MajorNdisVersion = 4;
  table.DisableInterruptHandler = Disable;
  table.EnableInterruptHandler = Enable;
  table.HaltHandler = Halt;
  table.HandleInterruptHandler = HandleInterrupt;
  table.InitializeHandler = Initialize;
  table.ISRHandler = Isr;
  table.QueryInformationHandler = Unsupported;
  table.ResetHandler = Reset;
  table.SendHandler = Send;
  table.SetInformationHandler = Unsupported;
  if (installed->checkForHang) {
    table.CheckForHangHandler = CheckForHang;
  }
  return NdisMRegisterMiniport(wrapper, &table, sizeof(table)) == NDIS_STATUS_SUCCESS
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}

}  // namespace kl::sim::testing
