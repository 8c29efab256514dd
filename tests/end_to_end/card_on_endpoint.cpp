#include "end_to_end/card_on_endpoint.h"

#include "end_to_end/two_stations.h"
#include "sim/net/ethernet.h"

namespace kl::test {

using namespace std::chrono_literals;

namespace {

constexpr sim::PortAddress kIoBase = 0x300;
constexpr UINT kVector = 3;
constexpr sim::Duration kLinkWait = 5s;
constexpr sim::Duration kLinkPoll = 10ms;

sim::card::CardConfig CardOf(sim::card::BusWidth width) {
  return {.busWidth = width,
          .prom = width == sim::card::BusWidth::Word
                      ? sim::card::wordWidePromImage(kAdapterStation)
                      : sim::card::byteWidePromImage(kAdapterStation)};
}

}  // namespace

void CardOnEndpoint::Port::frameArrived(const sim::net::WireFrame& frame) {
  const auto withoutFcs = frame.bytes.size() - sim::net::kFcsBytes;
  arrivals.push_back(
      Arrival{{frame.bytes.begin(), frame.bytes.begin() + static_cast<std::ptrdiff_t>(withoutFcs)},
              clock_.now()});
}

CardOnEndpoint::CardOnEndpoint(sim::card::BusWidth width, std::uint64_t seed,
                               const sim::world::TrafficShape& shape)
    : port_(world_.machine().clock()) {
  machine().onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(driver_.load(machine()), STATUS_SUCCESS);
  EXPECT_NE(world_.addCard(CardOf(width), kIoBase, kVector), nullptr);
  adapter_ = &world_.addAdapter(
      sim::AdapterSetup{.keywords = {{"IoBaseAddress", static_cast<std::uint32_t>(kIoBase)},
                                     {"InterruptNumber", static_cast<std::uint32_t>(kVector)}}});
  cable_ = std::make_unique<sim::world::PatchCable>(machine().clock(), card(), partner_, port_);
  station_ = std::make_unique<sim::world::TrafficStation>(*adapter_, 0, seed, shape);
}

CardOnEndpoint::~CardOnEndpoint() {
  adapter_->unbind();
  if (adapter_->initialized()) {
    adapter_->halt();
  }
}

void CardOnEndpoint::bringUp() {
  ASSERT_EQ(adapter_->initialize(), NDIS_STATUS_SUCCESS);
  const sim::VirtualTime until = machine().now() + kLinkWait;
  while (sim::world::queryUlong(*adapter_, OID_GEN_MEDIA_CONNECT_STATUS) !=
         NdisMediaStateConnected) {
    ASSERT_LT(machine().now(), until) << "the link never came up";
    machine().runFor(kLinkPoll);
  }
  ASSERT_EQ(station_->open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
}

sim::VirtualTime CardOnEndpoint::burst(std::size_t count, std::size_t length) {
  sim::net::Cable::End& end = cable_->cable().end(sim::net::Cable::Side::B);
  sim::VirtualTime last = machine().now();
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> frame = sim::world::buildTestFrame(
        station_->address(), kPortStation, {kPortStream, nextSequence_++}, length);
    last = end.send(sim::net::WireFrame{sim::net::withFcs(frame)}).leftAt;
  }
  return last;
}

void CardOnEndpoint::holdDispatch(sim::Duration duration, const std::function<void()>& atEnd) {
  machine().atDispatch([&] {
    machine().runFor(duration);
    if (atEnd) {
      atEnd();
    }
  });
}

}  // namespace kl::test
