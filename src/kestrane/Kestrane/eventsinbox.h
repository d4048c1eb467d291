#pragma once
// EventsInbox: where the collector thread leaves each cycle's events for the GUI thread, which
// takes them all at once on its timer. Holds at most `capacity` events, dropping the oldest,
// so that a window that falls behind never makes the collector wait or memory grow.
// Shared (std::shared_ptr) by the view and the collector's notify hook; any thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "pyqar/event_types.h"

class EventsInbox {
 public:
  explicit EventsInbox(std::size_t capacity);

  // Collector thread: one cycle's events, in the order the server reported them.
  void push(const std::vector<pyqar::EventRecord>& events);
  // GUI thread: everything waiting, oldest first; the inbox is empty afterwards.
  std::vector<pyqar::EventRecord> take_all();
  // How many events were dropped unseen because the inbox was full, since it was made.
  std::uint64_t dropped() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<pyqar::EventRecord> pending_;  // guarded by mutex_
  std::uint64_t dropped_ = 0;               // guarded by mutex_
};
