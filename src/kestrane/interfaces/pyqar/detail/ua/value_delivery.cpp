#include "value_delivery.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "journel/log.h"
#include "structure_catalog.h"
#include "subscription_faults.h"
#include "value_conversion.h"

namespace pyqar::ua {
namespace {

// Nodes per Read when the subscribed tags are read once.
constexpr std::size_t kMaxNodesPerRead = 1000;

// Steps back of one tag's source time are logged at most this often.
constexpr auto kStepBackLogInterval = std::chrono::hours(1);

// The item stays this small: there may be 200,000.
static_assert(sizeof(SubscriptionBook::Item) <= 16);

// The queue overflowed before this value: InfoType DataValue with the Overflow bit.
bool overflowed(std::uint32_t code) { return (code & 0x0C00u) == 0x0400u && (code & 0x0080u) != 0; }

}  // namespace

ValueObject ValueDelivery::convert(std::uint32_t index, const DataValue& value, Timestamp arrival,
                                   StructureCatalog* structures) {
  if (structures == nullptr || !StructureCatalog::holds_structure(value))
    return to_value_object(value, arrival, services_.namespace_array());
  std::string refusal;
  ValueObject v = to_value_object(value, arrival, services_.namespace_array(),
                                  &structures->decoder(), &refusal);
  if (!refusal.empty()) structures->refused(book_.key_of(index), refusal);
  return v;
}

void ValueDelivery::emit(std::uint32_t index, const DataValue& value, Timestamp arrival) {
  StructureCatalog* structures = StructureCatalog::holds_structure(value)
                                     ? services_.structures(std::span(&value, 1))
                                     : nullptr;
  ValueObject v = convert(index, value, arrival, structures);
  SubscriptionBook::Item& item = book_.items[index];
  if (overflowed(v.status)) {
    // The server's queue discarded values just before this one, also before a tag's first.
    ++book_.update.lost_overflow;
    item.gap_before_next = true;
  }
  const bool initial = item.next_is_initial;
  item.next_is_initial = false;
  deliver(index, std::move(v), initial);
}

void ValueDelivery::deliver(std::uint32_t index, ValueObject v, bool initial, bool read) {
  SubscriptionBook::Item& item = book_.items[index];
  const std::int64_t source = v.source_timestamp ? v.source_timestamp->time_since_epoch().count()
                                                 : SubscriptionBook::Item::kNoSourceTime;
  const std::uint32_t print = fingerprint(v, source);
  // An initial value that repeats the last one is no change, and neither is the server's
  // queued copy of a value read once. A hash collision could only drop such a value whose
  // source time equals the stored one exactly; any other value is delivered whatever it holds.
  if ((initial || item.last_read) && source == item.source_time && print == item.fingerprint) {
    // A gap marked stays for the tag's next value: a tag that did not change while values
    // may have been lost still has a span to check, ending where it next changes.
    item.last_read = read;
    return;
  }
  const bool older = source != SubscriptionBook::Item::kNoSourceTime &&
                     item.source_time > SubscriptionBook::Item::kNoSourceTime &&
                     source < item.source_time;
  if (older) stepped_back(index, item.source_time, source);
  // Changes the server queued before a value read once come after it, older: each is stored,
  // and the read value stays the one its queued copy is recognised by.
  if (!(older && item.last_read)) {
    item.source_time = source;
    item.fingerprint = print;
    item.last_read = read;
  }
  const bool after_gap = item.gap_before_next;
  item.gap_before_next = false;
  book_.update.changes.push_back({index, std::move(v), after_gap});
}

void ValueDelivery::mark_gap(std::uint32_t index) {
  SubscriptionBook::Item& item = book_.items[index];
  if (item.event) return;  // events have no values to read back
  if (item.source_time != SubscriptionBook::Item::kNothingStored) item.gap_before_next = true;
}

void ValueDelivery::mark_gap(std::span<const std::uint32_t> indices) {
  for (const std::uint32_t index : indices) mark_gap(index);
}

void ValueDelivery::stepped_back(std::uint32_t index, std::int64_t from, std::int64_t to) {
  ++book_.update.source_time_steps_back;
  const SubscriptionBook::SteadyTime now = book_.steady_now();
  auto [it, first] = step_back_logged_.try_emplace(book_.key_of(index), now);
  if (!first) {
    if (now - it->second < kStepBackLogInterval) return;
    it->second = now;
  }
  // In doubles: two times centuries apart (a clock far off) would overflow the ticks.
  const double seconds = (static_cast<double>(from) - static_cast<double>(to)) *
                         Timestamp::period::num / Timestamp::period::den;
  journel::get_logger("pyqar")->warn(
      "OPC UA tag '{}': its source time went back {:.3f} s; the value is stored at the time "
      "the server gave (steps back of this tag are logged at most once an hour, all counted)",
      book_.key_of(index), seconds);
}

std::uint32_t ValueDelivery::fingerprint(const ValueObject& value, std::int64_t source_time) {
  // FNV-1a (its low 24 bits, as the item keeps them) over the value's kind and bytes, the status
  // and the source time.
  std::uint32_t h = 2166136261u;
  const auto mix = [&h](const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) h = (h ^ bytes[k]) * 16777619u;
  };
  const auto mix_number = [&mix](auto number) { mix(&number, sizeof number); };
  mix_number(static_cast<std::uint8_t>(value.value.index()));
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string>) {
          mix_number(x.size());
          mix(x.data(), x.size());
        } else if constexpr (std::is_same_v<T, double>) {
          mix_number(std::bit_cast<std::uint64_t>(x));
        } else if constexpr (!std::is_same_v<T, std::monostate>) {
          mix_number(x);
        }
      },
      value.value);
  mix_number(value.status);
  mix_number(source_time);
  return h & SubscriptionBook::Item::kFingerprintMask;
}

void ValueDelivery::read_tags(std::span<const std::uint32_t> indices) {
  std::vector<NodeId> nodes;
  std::vector<std::uint32_t> which;
  for (const std::uint32_t index : indices) {
    if (book_.items[index].state != SubscriptionBook::ItemState::ok || book_.is_event(index))
      continue;
    try {
      std::optional<NodeId> node = services_.node_for(book_.tags[index].tag);
      if (!node) continue;
      nodes.push_back(std::move(*node));
      which.push_back(index);
    } catch (const std::invalid_argument&) {
      // Reported when it was created.
    }
  }
  // In reads of at most 1,000 nodes, halved while the server finds them too large, so that
  // re-reading 200,000 tags after a recreation fits any server.
  std::size_t chunk = kMaxNodesPerRead;
  for (std::size_t pos = 0; pos < nodes.size();) {
    const std::size_t count = std::min(chunk, nodes.size() - pos);
    std::vector<DataValue> values;
    try {
      values = services_.read(std::span<const NodeId>(nodes).subspan(pos, count));
    } catch (const ServiceError& e) {
      if (session_fault(e.status())) throw;
      if (refused_as_too_large(e.status()) && count > 1) {
        chunk = count / 2;
        continue;
      }
      journel::get_logger("pyqar")->warn("OPC UA Read of {} subscribed tags failed: {}", count,
                                         e.what());
      pos += count;
      continue;
    }
    const Timestamp arrival = book_.wall_now();
    StructureCatalog* structures = services_.structures(values);
    for (std::size_t k = 0; k < values.size() && k < count; ++k) {
      deliver(which[pos + k], convert(which[pos + k], values[k], arrival, structures), true, true);
    }
    pos += count;
  }
}

}  // namespace pyqar::ua
