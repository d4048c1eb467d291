#pragma once
// NotificationSequence: the sequence numbers of one subscription's notification messages:
// which number comes next, the messages that came early (held until the ones before them
// arrive), and the numbers that are missing. Owned by the subscription engine, one per
// subscription; one thread at a time.

#include <cstdint>
#include <map>
#include <vector>

#include "ua_subscription_messages.h"

namespace pyqar::ua {

class NotificationSequence {
 public:
  // A run of missing numbers: `count` numbers from `first` on (wrapping after the largest).
  struct Gap {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };

  // Numbers run from 1 to 0xFFFFFFFF and then start again at 1; 0 is never used.
  static std::uint32_t after(std::uint32_t number);
  static std::uint32_t advance(std::uint32_t number, std::uint32_t steps);

  // `next`: the number the next message will carry (1 for a new subscription).
  explicit NotificationSequence(std::uint32_t next = 1) : next_(next) {}

  std::uint32_t next() const { return next_; }
  // Takes a message with notifications. Returns the messages now ready, in order: this one and
  // any held after it when it is the next one, nothing when it came early (it is held) or was
  // handled before (it is dropped).
  std::vector<NotificationMessage> accept(NotificationMessage message);
  // A keep-alive says which number the next message will carry: anything before it that has
  // not come is missing.
  void keep_alive(std::uint32_t next_number);
  // The numbers missing before the first held message (or the number a keep-alive announced).
  Gap gap() const;
  // Gives up on the next `count` numbers (the server no longer has them). Returns the messages
  // now ready.
  std::vector<NotificationMessage> skip(std::uint32_t count = 1);
  std::size_t held() const { return held_.size(); }

 private:
  // Steps from `from` forward to `to` (0 when equal); more than half the range means behind.
  static std::uint64_t distance(std::uint32_t from, std::uint32_t to);
  static bool ahead(std::uint32_t from, std::uint32_t to);
  std::vector<NotificationMessage> release();

  std::uint32_t next_;
  std::uint32_t announced_ = 0;  // from the latest keep-alive; 0: none ahead of next_
  std::map<std::uint32_t, NotificationMessage> held_;
};

}  // namespace pyqar::ua
