#pragma once
// ScriptedOpc: an OPC server for tests of the layers above the OPC library. Each read is
// answered by a script; every batch asked for is recorded. Shared by the library's sources,
// so a test may change the script between cycles. One thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/rt_source.h"

namespace quellin_test {

struct ScriptedOpc {
  using Responder =
      std::function<std::vector<pyqar::ValueObject>(const std::vector<pyqar::TagDescriptor>&)>;

  // Good doubles 1.0, 2.0, ... in batch order.
  static std::vector<pyqar::ValueObject> all_good(const std::vector<pyqar::TagDescriptor>& batch) {
    std::vector<pyqar::ValueObject> out;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      out.push_back({static_cast<double>(i + 1), pyqar::QAR_QUALITY::QAR_HIGH_GOOD, {}});
    }
    return out;
  }
  static std::vector<pyqar::ValueObject> all_bad(const std::vector<pyqar::TagDescriptor>& batch) {
    return std::vector<pyqar::ValueObject>(batch.size());
  }

  Responder responder = all_good;
  bool fail_create = false;  // the factory throws: create_source gives the invalid handle
  bool source_valid = true;  // what is_source_valid answers
  int creates = 0;           // sources opened
  std::vector<pyqar::CreateSourceArgs> create_args;        // every create_source call that got here
  std::vector<std::vector<pyqar::TagDescriptor>> batches;  // every batch read, in order

  // Subscriptions. can_subscribe() answers `subscribable`. Each poll() first runs before_poll
  // (which may throw, as a broken connection does), then takes the next scripted update; with
  // none left it "waits": on_wait gets the wait in seconds, and nothing is returned.
  bool subscribable = false;
  std::deque<pyqar::SubscriptionUpdate> updates;
  std::function<void()> before_poll;
  std::function<void(double seconds)> on_wait;
  std::function<void()> on_subscribe;  // may throw
  std::function<void()> on_resume;     // may throw
  pyqar::SubscriptionStatus status{
      .subscriptions = 1, .items_ok = 0, .items_failed = 0, .alive = true, .watchdog_seconds = 3.0};
  std::vector<std::vector<pyqar::MonitoredTag>> subscribed;  // every subscribe() call
  std::vector<double> publishing_ms;                         // and its publishing interval
  std::vector<std::int64_t> poll_waits_ms;                   // every poll's wait
  std::vector<std::uint64_t> acknowledged;                   // every acknowledge() token
  int resumes = 0;
  int unsubscribes = 0;
  // A later process may take the subscriptions over; an update's token stands for message
  // number `token` of subscription 1. on_acknowledge runs before a token is recorded.
  bool reclaimable = false;
  std::function<void(std::uint64_t token)> on_acknowledge;

  // History: set, every tag keeps it and each HistoryRead is answered by it.
  std::function<std::vector<pyqar::HistoryPage>(const std::vector<pyqar::HistoryQuery>&,
                                                std::uint32_t values_per_node)>
      history;

  // One update of Good values for tags by index, each at its own source time.
  static pyqar::SubscriptionUpdate changes(
      const std::vector<std::pair<std::size_t, pyqar::Timestamp>>& values, std::uint64_t token) {
    pyqar::SubscriptionUpdate update;
    double v = 1.0;
    for (const auto& [index, time] : values) {
      pyqar::ValueObject value{v++, pyqar::QAR_QUALITY::QAR_HIGH_GOOD, time};
      value.status = pyqar::QAR_STATUS::QAR_STATUS_GOOD;
      value.source_timestamp = time;
      update.changes.push_back({index, value});
    }
    update.ack_token = token;
    update.notifications = values.empty() ? 0 : 1;
    return update;
  }

  std::vector<std::size_t> batch_sizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& b : batches) sizes.push_back(b.size());
    return sizes;
  }
};

class ScriptedSource : public pyqar::RtSource {
 public:
  explicit ScriptedSource(std::shared_ptr<ScriptedOpc> opc) : opc_(std::move(opc)) {}
  bool valid() const override { return opc_->source_valid; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>& batch) override {
    opc_->batches.push_back(batch);
    return opc_->responder(batch);
  }
  bool can_subscribe() const override { return opc_->subscribable; }
  void subscribe(std::vector<pyqar::MonitoredTag> tags,
                 const pyqar::SubscriptionSettings& settings) override {
    if (opc_->on_subscribe) opc_->on_subscribe();
    opc_->status.items_ok = tags.size();
    opc_->subscribed.push_back(std::move(tags));
    opc_->publishing_ms.push_back(settings.publishing_interval_ms);
  }
  pyqar::SubscriptionUpdate poll(std::chrono::milliseconds wait) override {
    opc_->poll_waits_ms.push_back(wait.count());
    if (opc_->before_poll) opc_->before_poll();
    if (!opc_->updates.empty()) {
      pyqar::SubscriptionUpdate update = std::move(opc_->updates.front());
      opc_->updates.pop_front();
      return update;
    }
    if (opc_->on_wait) opc_->on_wait(static_cast<double>(wait.count()) / 1000.0);
    return {};
  }
  void acknowledge(std::uint64_t token) override {
    if (opc_->on_acknowledge) opc_->on_acknowledge(token);
    opc_->acknowledged.push_back(token);
  }
  void resume() override {
    ++opc_->resumes;
    if (opc_->on_resume) opc_->on_resume();
  }
  pyqar::SubscriptionStatus subscription_status() const override { return opc_->status; }
  void unsubscribe() noexcept override { ++opc_->unsubscribes; }
  std::string reclaim_refusal() const override {
    return opc_->reclaimable ? std::string() : "the scripted server keeps nothing for later";
  }
  std::vector<pyqar::KeptSequence> kept_sequences(std::uint64_t once_kept) const override {
    if (!opc_->reclaimable) return {};
    return {{1, static_cast<std::uint32_t>(once_kept)}};
  }
  bool can_read_history() const override { return static_cast<bool>(opc_->history); }
  std::vector<std::optional<bool>> keeps_history(
      const std::vector<pyqar::TagDescriptor>& tags) override {
    return std::vector<std::optional<bool>>(tags.size(), true);
  }
  pyqar::HistoryLimits history_limits() override { return {}; }
  std::vector<pyqar::HistoryPage> read_history(const std::vector<pyqar::HistoryQuery>& queries,
                                               std::uint32_t values_per_node) override {
    return opc_->history(queries, values_per_node);
  }

 private:
  std::shared_ptr<ScriptedOpc> opc_;
};

inline pyqar::SourceFactory scripted_factory(std::shared_ptr<ScriptedOpc> opc) {
  return [opc](const pyqar::CreateSourceArgs& args) -> std::unique_ptr<pyqar::RtSource> {
    opc->create_args.push_back(args);
    if (opc->fail_create) throw std::runtime_error("scripted server is down");
    ++opc->creates;
    return std::make_unique<ScriptedSource>(opc);
  };
}

// A clock that only moves when the collector waits (or a test moves it).
struct FakeTime {
  double now = 100.0;
  std::vector<double> sleeps;
  std::function<void()> on_sleep;  // runs after each recorded wait

  double clock() const { return now; }
  void sleep(double seconds) {
    sleeps.push_back(seconds);
    now += seconds;
    if (on_sleep) on_sleep();
  }
};

}  // namespace quellin_test
