#include "quellin/result_queue.h"

#include <stdexcept>
#include <utility>

namespace quellin {

ResultQueue::ResultQueue(std::size_t max_length) : max_length_(max_length) {
  if (max_length_ == 0) {
    throw std::invalid_argument("ResultQueue max_length must be at least 1");
  }
}

void ResultQueue::push_back(ResultList results) {
  if (items_.size() >= max_length_) {
    items_.pop_front();
    ++dropped_;
  }
  items_.push_back(std::move(results));
}

ResultList ResultQueue::pop_front() {
  if (items_.empty()) throw std::out_of_range("pop_front on an empty ResultQueue");
  ResultList front = std::move(items_.front());
  items_.pop_front();
  return front;
}

std::vector<ResultList> ResultQueue::take_all() {
  std::vector<ResultList> all;
  all.reserve(items_.size());
  for (ResultList& list : items_) all.push_back(std::move(list));
  items_.clear();
  return all;
}

void ResultQueue::clear() { items_.clear(); }

}  // namespace quellin
