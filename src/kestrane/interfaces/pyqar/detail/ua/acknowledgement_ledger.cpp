#include "acknowledgement_ledger.h"

#include <algorithm>

namespace pyqar::ua {

std::uint64_t AcknowledgementLedger::seal(bool rows_to_keep) {
  if (gathered_.empty()) return 0;
  if (!rows_to_keep) {
    due_.insert(due_.end(), gathered_.begin(), gathered_.end());
    gathered_.clear();
    return 0;
  }
  waiting_.emplace_back(++last_token_, std::move(gathered_));
  gathered_.clear();
  return last_token_;
}

void AcknowledgementLedger::kept(std::uint64_t token) {
  while (!waiting_.empty() && waiting_.front().first <= token) {
    const std::vector<SubscriptionAcknowledgement>& acks = waiting_.front().second;
    due_.insert(due_.end(), acks.begin(), acks.end());
    waiting_.pop_front();
  }
}

std::span<const SubscriptionAcknowledgement> AcknowledgementLedger::due(std::size_t most) const {
  return {due_.data(), std::min(most, due_.size())};
}

void AcknowledgementLedger::sent(std::size_t count) {
  const auto end = due_.begin() + static_cast<std::ptrdiff_t>(std::min(count, due_.size()));
  unanswered_.emplace_back(due_.begin(), end);
  due_.erase(due_.begin(), end);
}

void AcknowledgementLedger::answered() {
  if (!unanswered_.empty()) unanswered_.pop_front();
}

void AcknowledgementLedger::resend_unanswered() {
  std::vector<SubscriptionAcknowledgement> again;
  for (const auto& acks : unanswered_) again.insert(again.end(), acks.begin(), acks.end());
  unanswered_.clear();
  if (again.empty()) return;
  again.insert(again.end(), due_.begin(), due_.end());
  due_ = std::move(again);
}

void AcknowledgementLedger::forget(std::uint32_t subscription_id) {
  const auto of_it = [&](const SubscriptionAcknowledgement& a) {
    return a.subscription_id == subscription_id;
  };
  std::erase_if(gathered_, of_it);
  std::erase_if(due_, of_it);
  for (auto& [token, acks] : waiting_) std::erase_if(acks, of_it);
  for (auto& acks : unanswered_) std::erase_if(acks, of_it);
}

void AcknowledgementLedger::clear() {
  gathered_.clear();
  waiting_.clear();
  due_.clear();
  unanswered_.clear();
}

}  // namespace pyqar::ua
