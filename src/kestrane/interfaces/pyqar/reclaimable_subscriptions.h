#pragma once
// What a later process needs to take over a source's subscriptions after this one ended
// without deleting them (a crash, a kill, a power cut): the server keeps them, with the
// notification messages not acknowledged, until their lifetime ends. Plain values; safe to copy
// between threads.

#include <cstdint>
#include <string>
#include <vector>

#include "pyqar/subscription_types.h"

namespace pyqar {

// The last notification message of a subscription whose rows were kept (0: none yet): a
// message the server sends again with this number or an earlier one is not stored twice.
struct KeptSequence {
  std::uint32_t subscription_id = 0;
  std::uint32_t sequence_number = 0;

  friend bool operator==(const KeptSequence&, const KeptSequence&) = default;
};

struct ReclaimableItem {
  // The handle the server reports the item's values under, and the server's id of the item.
  std::uint32_t client_handle = 0;
  std::uint32_t item_id = 0;
  // The tag it monitors, as "namespace:name", and how.
  std::string tag_key;
  MonitorSettings settings;

  friend bool operator==(const ReclaimableItem&, const ReclaimableItem&) = default;
};

struct ReclaimableSubscription {
  std::uint32_t id = 0;
  // As the server granted them.
  double publishing_interval_ms = 0.0;
  std::uint32_t keep_alive_count = 0;
  std::uint32_t lifetime_count = 0;
  std::uint32_t last_kept = 0;  // as KeptSequence::sequence_number
  std::vector<ReclaimableItem> items;

  friend bool operator==(const ReclaimableSubscription&, const ReclaimableSubscription&) = default;
};

struct ReclaimableSubscriptions {
  // The publishing interval asked for: another one takes new subscriptions anyway.
  double publishing_interval_ms = 0.0;
  std::vector<ReclaimableSubscription> subscriptions;

  friend bool operator==(const ReclaimableSubscriptions&,
                         const ReclaimableSubscriptions&) = default;
};

}  // namespace pyqar
