#pragma once
// ResultQueue: a bounded first-in-first-out queue of result lists. Appending to a full queue
// drops the oldest list. Owned by the front end; NOT synchronised: every access must hold the
// owner's mutex (the one passed to the collector as deque_lock).

#include <cstddef>
#include <deque>
#include <vector>

#include "quellin/result_tuple.h"

namespace quellin {

class ResultQueue {
 public:
  // Throws std::invalid_argument when max_length is 0.
  explicit ResultQueue(std::size_t max_length = 300);

  // Appends at the back; when full, the oldest list is dropped first.
  void push_back(ResultList results);
  // Removes and returns the oldest list; throws std::out_of_range when empty.
  ResultList pop_front();
  // Removes and returns every list, oldest first.
  std::vector<ResultList> take_all();
  void clear();

  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  std::size_t max_length() const { return max_length_; }
  // Lists dropped because the queue was full, since construction.
  std::size_t dropped() const { return dropped_; }
  const ResultList& front() const { return items_.front(); }
  const ResultList& back() const { return items_.back(); }

 private:
  std::size_t max_length_;
  std::size_t dropped_ = 0;
  std::deque<ResultList> items_;
};

}  // namespace quellin
