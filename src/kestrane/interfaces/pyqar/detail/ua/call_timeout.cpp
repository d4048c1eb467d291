#include "call_timeout.h"

#include <algorithm>

namespace pyqar::ua {
namespace {

// A busy server takes a few milliseconds per monitored item or node read; ten allows for it.
constexpr std::chrono::milliseconds kPerItem{10};
constexpr std::chrono::milliseconds kLongest{120'000};

}  // namespace

std::chrono::milliseconds scaled_timeout(std::chrono::milliseconds base, std::size_t items) {
  const auto most = std::max(base, kLongest);
  const auto extra = items >= static_cast<std::size_t>(most / kPerItem)
                         ? most
                         : kPerItem * static_cast<std::int64_t>(items);
  return std::min(base + extra, most);
}

}  // namespace pyqar::ua
