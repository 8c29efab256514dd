// A query made as a careful caller makes it: the answer buffer lies inside a
// larger, patterned one, and both out-parameters start as sentinels, so the
// test sees exactly which bytes and which out-parameter the driver wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/ndis.h"

namespace kl::test {

inline constexpr ULONG kWrittenSentinel = 0xDEADBEEF;
inline constexpr ULONG kNeededSentinel = 0xFEEDFACE;
inline constexpr std::size_t kGuardBytes = 8;

// What the caller's buffer holds before the call, byte by byte.
inline std::uint8_t Filler(std::size_t i) { return static_cast<std::uint8_t>(0xA5 ^ (i * 29)); }

struct QueryOutcome {
  NDIS_STATUS status;
  ULONG written;
  ULONG needed;
  std::vector<std::uint8_t> buffer;  // the whole backing store, guards included
};

// One query of `oid` with a buffer of `length` bytes, through `query`, which
// takes (oid, buffer, bytesWritten, bytesNeeded) as a bound protocol's query does.
template <class Query>
QueryOutcome GuardedQuery(Query&& query, NDIS_OID oid, std::size_t length) {
  QueryOutcome outcome{NDIS_STATUS_FAILURE, kWrittenSentinel, kNeededSentinel, {}};
  outcome.buffer.resize(length + kGuardBytes);
  for (std::size_t i = 0; i < outcome.buffer.size(); ++i) {
    outcome.buffer[i] = Filler(i);
  }
  outcome.status =
      query(oid, std::span(outcome.buffer).first(length), outcome.written, outcome.needed);
  return outcome;
}

// Bytes of the backing store from `from` on still hold what the caller put there.
inline ::testing::AssertionResult UntouchedFrom(const std::vector<std::uint8_t>& buffer,
                                                std::size_t from) {
  for (std::size_t i = from; i < buffer.size(); ++i) {
    if (buffer[i] != Filler(i)) {
      return ::testing::AssertionFailure() << "byte " << i << " was overwritten";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kl::test
