#include "acknowledgement_ledger.h"

#include <algorithm>

namespace pyqar::ua {

namespace {

// Messages without rows may be due before earlier ones with rows: the number never goes back
// (it wraps after 0xFFFFFFFF).
void raise_to(std::map<std::uint32_t, std::uint32_t>& kept, const SubscriptionAcknowledgement& a) {
  const auto [it, added] = kept.emplace(a.subscription_id, a.sequence_number);
  if (!added && static_cast<std::int32_t>(a.sequence_number - it->second) > 0)
    it->second = a.sequence_number;
}

}  // namespace

void AcknowledgementLedger::note_kept(const SubscriptionAcknowledgement& a) { raise_to(kept_, a); }

std::uint64_t AcknowledgementLedger::seal(bool rows_to_keep) {
  if (gathered_.empty()) return 0;
  if (!rows_to_keep) {
    for (const SubscriptionAcknowledgement& a : gathered_)
      kept_[a.subscription_id] = a.sequence_number;
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
    for (const SubscriptionAcknowledgement& a : acks) note_kept(a);
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
  kept_.erase(subscription_id);
}

void AcknowledgementLedger::clear() {
  gathered_.clear();
  waiting_.clear();
  due_.clear();
  unanswered_.clear();
  kept_.clear();
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> AcknowledgementLedger::kept_through(
    std::uint64_t once_kept) const {
  std::map<std::uint32_t, std::uint32_t> through = kept_;
  for (const auto& [token, acks] : waiting_) {
    if (token > once_kept) break;
    for (const SubscriptionAcknowledgement& a : acks) raise_to(through, a);
  }
  // Messages of one subscription are handled in order: the first one still waiting bounds
  // what counts as kept, even when a later one without rows was acknowledged at once.
  const auto bound = [&](const SubscriptionAcknowledgement& a) {
    const auto it = through.find(a.subscription_id);
    const std::uint32_t below = a.sequence_number - 1;
    if (it == through.end()) {
      through.emplace(a.subscription_id, below);
    } else if (below < it->second) {
      it->second = below;
    }
  };
  for (const auto& [token, acks] : waiting_) {
    if (token <= once_kept) continue;
    for (const SubscriptionAcknowledgement& a : acks) bound(a);
  }
  for (const SubscriptionAcknowledgement& a : gathered_) bound(a);
  return {through.begin(), through.end()};
}

}  // namespace pyqar::ua
