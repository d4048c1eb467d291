#pragma once
// How a collector acquires values: a Read of every tag once per interval (the default), or
// subscriptions that report each change. Plain values; safe to copy between threads.

#include <string>
#include <unordered_map>

#include "pyqar/event_types.h"
#include "pyqar/subscription_types.h"
#include "quellin/backfill_options.h"

namespace quellin {

struct AcquisitionOptions {
  pyqar::Acquisition mode = pyqar::Acquisition::read;
  // Subscriptions: the publishing interval is the collector's sample interval. How every tag
  // is monitored, unless tag_monitor names it.
  pyqar::MonitorSettings monitor{};
  std::unordered_map<std::string, pyqar::MonitorSettings> tag_monitor{};
  // Subscriptions: a tag whose value has not changed for this long is stored again, at the
  // time it is stored and with its original source time; 0: never.
  double heartbeat_seconds = 0.0;
  // Both modes: filling gaps from the server's history.
  BackfillOptions backfill{};
  // Both modes: events and alarms from these notifiers (none by default).
  pyqar::EventSettings events{};
  // OPC UA: structured values written as JSON by field name (else as type id and body).
  bool decode_structures = true;
  // OPC UA: what the server says of each tag (data type, unit, range, description, access
  // level) read beside collection and stored with the tag; off for servers that must be asked
  // for values alone.
  bool read_metadata = true;
};

}  // namespace quellin
