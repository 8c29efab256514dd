// NDIS's block for one adapter of the loaded miniport. Its address is the
// MiniportAdapterHandle the driver passes back in every call about the adapter.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ndis.h"
#include "sim/host/adapter_interrupt.h"
#include "sim/host/adapter_setup.h"
#include "sim/host/adapter_timers.h"
#include "sim/host/configuration.h"
#include "sim/host/hang_check.h"
#include "sim/host/irql.h"
#include "sim/host/miniport_block.h"

namespace kl::sim {

class Machine;
class Protocol;

// What the miniport told NDIS about the adapter in NdisMSetAttributesEx.
struct AdapterAttributes {
  NDIS_HANDLE context = nullptr;
  UINT checkForHangSeconds = 0;
  ULONG flags = 0;
  NDIS_INTERFACE_TYPE interfaceType = NdisInterfaceIsa;
};

class MiniportAdapter {
 public:
  MiniportAdapter(Machine& machine, AdapterSetup setup);
  MiniportAdapter(const MiniportAdapter&) = delete;
  MiniportAdapter& operator=(const MiniportAdapter&) = delete;
  ~MiniportAdapter();

  // The MiniportAdapterHandle: NDIS's block for the adapter.
  [[nodiscard]] NDIS_HANDLE handle() { return block_.handle(); }
  // The WrapperConfigurationContext MiniportInitialize is given: an object
  // of its own, valid only while the adapter may be initialised (not while
  // it is up or being halted).
  [[nodiscard]] NDIS_HANDLE configurationContext() { return &configurationContext_; }
  [[nodiscard]] bool configurable() const { return !initialized_ && !halting_; }

  // ---- What NDIS does to the adapter through the miniport's handlers.
  // Each runs the handler as NDIS would: serialised, with deferred work
  // (interrupt DPCs, timers) run once it returns.
  NDIS_STATUS initialize(std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
  void halt();
  NDIS_STATUS reset();
  NDIS_STATUS query(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& bytesWritten,
                    ULONG& bytesNeeded);
  NDIS_STATUS set(NDIS_OID oid, std::span<std::uint8_t> buffer, ULONG& bytesRead,
                  ULONG& bytesNeeded);

  // ---- The protocol edge.
  void bind(Protocol& protocol) { protocol_ = &protocol; }
  // From now on completions and indications reach no protocol.
  void unbind() { protocol_ = nullptr; }
  // Hands a packet to the send handler. A status other than pending is the
  // packet's completion; a pending one arrives through Protocol::sendComplete.
  // While a serialised handler runs the packet waits, as NDIS queues it for
  // a serialised miniport, and goes down once that handler has returned:
  // the send is pending.
  NDIS_STATUS send(NDIS_PACKET& packet);
  // Only while Protocol::receive runs: copies frame bytes after the header,
  // from `offset`, into the packet's buffers.
  NDIS_STATUS transferData(NDIS_PACKET& packet, UINT offset, UINT length, UINT& transferred);
  // The packets the miniport holds and has not completed; those NDIS still
  // queues for it are not yet its.
  [[nodiscard]] std::size_t packetsOutstanding() const {
    return outstanding_.size() - queuedSends_.size();
  }

  // ---- What the miniport learnt about the adapter.
  // Initialized and not (being) halted.
  [[nodiscard]] bool initialized() const { return initialized_; }
  // For a test that set the miniport's record up by hand, as its initialize
  // would, and registered it with NdisMSetAttributesEx: the adapter counts
  // as initialized from now on, and is checked after every handler as such.
  void upWithoutInitialize() { initialized_ = true; }
  [[nodiscard]] UINT selectedMedium() const { return selectedMedium_; }
  [[nodiscard]] NDIS_HANDLE context() const { return attributes_.context; }
  [[nodiscard]] NDIS_INTERFACE_TYPE interfaceType() const { return attributes_.interfaceType; }
  [[nodiscard]] const AdapterAttributes& attributes() const { return attributes_; }
  [[nodiscard]] bool interruptConnected() const { return interrupt_.connected(); }
  // The last interrupt registration the miniport asked for, granted or not.
  [[nodiscard]] const std::optional<InterruptRegistration>& interruptRegistration() const {
    return interrupt_.registration();
  }
  [[nodiscard]] std::optional<UINT> connectedVector() const { return interrupt_.vector(); }
  // How often a timer function of the adapter has run.
  [[nodiscard]] std::uint64_t timerRuns() const { return timers_.runs(); }
  [[nodiscard]] const AdapterSetup& setup() const { return setup_; }
  [[nodiscard]] Machine& machine() const { return machine_; }
  // Every keyword the miniport read, in order, over all its configuration
  // handles.
  [[nodiscard]] const std::vector<KeywordRead>& keywordReads() const { return keywordReads_; }

  // ---- The NDIS library's side, reached from the driver's NDIS calls.
  void setAttributes(const AdapterAttributes& attributes) { attributes_ = attributes; }
  OpenConfiguration& openConfiguration();
  void closeConfiguration(const OpenConfiguration& configuration);
  void noteKeywordRead(KeywordRead read) { keywordReads_.push_back(std::move(read)); }
  NDIS_STATUS registerInterrupt(NDIS_MINIPORT_INTERRUPT& object,
                                const InterruptRegistration& registration) {
    return interrupt_.connect(object, registration);
  }
  [[nodiscard]] AdapterInterrupt& interrupt() { return interrupt_; }
  [[nodiscard]] AdapterTimers& timers() { return timers_; }
  [[nodiscard]] ULONG readAttributeMemory(ULONG offset, std::span<std::uint8_t> buffer) const;
  void sendComplete(NDIS_PACKET& packet, NDIS_STATUS status);
  void indicateReceive(NDIS_HANDLE receiveContext, std::span<const std::uint8_t> header,
                       std::span<const std::uint8_t> lookahead, UINT packetSize);
  void indicateReceiveComplete();

 private:
  // Runs the miniport's handler `name` serialised at `level`, as NDIS calls
  // it, and checks the status it returns.
  template <class Handler>
  NDIS_STATUS callHandler(Irql level, std::string_view name, Handler&& handler);
  void checkStatus(std::string_view handler, NDIS_STATUS status);
  // After a failed initialize or a halt: the miniport must have given back
  // every port range, its interrupt, its timers and the memory it took.
  void checkGivenBack(const char* after, std::size_t memoryTaken);
  NDIS_STATUS sendNow(NDIS_PACKET& packet);
  void sendQueued();
  void completeSend(NDIS_PACKET& packet, NDIS_STATUS status);
  [[nodiscard]] bool holds(const NDIS_PACKET& packet) const {
    return std::find(outstanding_.begin(), outstanding_.end(), &packet) != outstanding_.end();
  }

  Machine& machine_;
  AdapterSetup setup_;
  MiniportBlock block_{*this};
  Protocol* protocol_ = nullptr;

  // Stands for the configuration NDIS keeps for the adapter; only its
  // address is handed out.
  struct ConfigurationContext {
  } configurationContext_;

  bool initialized_ = false;
  bool halting_ = false;
  // Memory blocks the miniport took while initialising the adapter.
  std::size_t memoryTaken_ = 0;
  UINT selectedMedium_ = 0;
  AdapterAttributes attributes_;

  std::vector<std::unique_ptr<OpenConfiguration>> configurations_;
  std::vector<KeywordRead> keywordReads_;
  AdapterInterrupt interrupt_{*this};
  AdapterTimers timers_{*this};
  HangCheck hangCheck_{*this};

  // The packets the miniport holds: a window of a few, so a flat list.
  std::vector<const NDIS_PACKET*> outstanding_;
  // Sends a protocol made while a serialised handler ran.
  std::deque<NDIS_PACKET*> queuedSends_;
  bool indicating_ = false;
  NDIS_HANDLE receiveContext_ = nullptr;
};

}  // namespace kl::sim
