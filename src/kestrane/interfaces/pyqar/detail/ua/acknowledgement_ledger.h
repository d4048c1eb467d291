#pragma once
// AcknowledgementLedger: the notification messages handled but not yet acknowledged to the
// server. Messages gathered during a poll wait under that poll's token until the caller says
// their rows are kept; then they go out with the next Publish request, and are held until an
// answer shows that request reached the server: a request lost with its channel is sent again
// with the next Publish on the new one. Owned by the subscription engine; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "ua_subscription_messages.h"

namespace pyqar::ua {

class AcknowledgementLedger {
 public:
  // A message of the poll in progress was handled.
  void gather(std::uint32_t subscription_id, std::uint32_t sequence_number) {
    gathered_.push_back({subscription_id, sequence_number});
  }
  // Ends the poll: with rows to keep, the gathered messages wait under a new token, which is
  // returned; without, they are due at once and the token is 0.
  std::uint64_t seal(bool rows_to_keep);
  // Every token up to `token` is kept: its messages are due.
  void kept(std::uint64_t token);
  // Up to `most` due acknowledgements, in order, for the next Publish request.
  std::span<const SubscriptionAcknowledgement> due(std::size_t most) const;
  // The first `count` due ones were sent with a Publish request.
  void sent(std::size_t count);
  // A Publish request was answered. The channel keeps the order of requests, so the server
  // has had the oldest one still unanswered at least: its acknowledgements arrived.
  void answered();
  // The Publish requests still unanswered were lost with their channel: their
  // acknowledgements are due again, ahead of the others. An acknowledgement the server had
  // after all is answered BadSequenceNumberUnknown, which costs nothing.
  void resend_unanswered();
  // The subscription was deleted: a new one may get its id, and must not be acknowledged by
  // these.
  void forget(std::uint32_t subscription_id);
  void clear();

  // Per subscription, the last message whose rows are kept with every message before it (a
  // message still waiting holds the number below it), for a later process to go on from;
  // counting the messages waiting under tokens up to `once_kept` as kept already (what a
  // write stage records before it says those tokens are kept).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> kept_through(
      std::uint64_t once_kept = 0) const;
  // A subscription taken over from an earlier process, whose rows were kept through `number`.
  void kept_before(std::uint32_t subscription_id, std::uint32_t number) {
    kept_[subscription_id] = number;
  }
  // A message the earlier process kept, whose acknowledgement the server never had: due now.
  void owed(std::uint32_t subscription_id, std::uint32_t sequence_number) {
    due_.push_back({subscription_id, sequence_number});
  }

 private:
  void note_kept(const SubscriptionAcknowledgement& a);

  std::vector<SubscriptionAcknowledgement> gathered_;
  std::deque<std::pair<std::uint64_t, std::vector<SubscriptionAcknowledgement>>> waiting_;
  std::vector<SubscriptionAcknowledgement> due_;
  // What each unanswered Publish request carried, oldest first.
  std::deque<std::vector<SubscriptionAcknowledgement>> unanswered_;
  std::uint64_t last_token_ = 0;
  // The latest message made due, per subscription.
  std::map<std::uint32_t, std::uint32_t> kept_;
};

}  // namespace pyqar::ua
