#pragma once
// UaSource: the OPC UA implementation of RtSource. Maps tag descriptors to NodeIds, reads
// them through one UaSession and converts the results; or, once subscribed, hands its session
// to a subscription engine that keeps the server's subscriptions for the tag list. Owned by
// QARLibrary; created, used and destroyed on one thread. After any failed read it stays invalid;
// the caller reconnects by making a new source.

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pyqar/rt_source.h"
#include "structure_catalog.h"
#include "subscription_engine.h"
#include "tag_node_resolver.h"
#include "ua_session.h"
#include "ua_subscription_services.h"

namespace pyqar::ua {

class UaSource : public RtSource {
 public:
  // Connects and activates a session; throws std::runtime_error naming the address.
  // With `structures`, structured values are written by field name as the server describes
  // their types, learned once and kept in it across sources; without, as type id and body.
  UaSource(const std::string& schema, SessionOptions options,
           std::shared_ptr<StructureCatalog> structures = nullptr);
  ~UaSource() override;

  bool valid() const override;
  std::vector<ValueObject> read(const std::vector<TagDescriptor>& batch) override;

  bool can_subscribe() const override { return true; }
  void subscribe(std::vector<MonitoredTag> tags, const SubscriptionSettings& settings) override;
  SubscriptionUpdate poll(std::chrono::milliseconds wait) override;
  void acknowledge(std::uint64_t ack_token) override;
  void resume() override;
  SubscriptionStatus subscription_status() const override;
  void unsubscribe() noexcept override;
  std::string reclaim_refusal() const override;
  void reclaim_at_subscribe(ReclaimableSubscriptions previous) override;
  ReclaimableSubscriptions reclaimable() const override;
  std::uint64_t reclaimable_version() const override;
  std::vector<KeptSequence> kept_sequences(std::uint64_t once_kept) const override;

  bool can_read_history() const override { return true; }
  std::vector<std::optional<bool>> keeps_history(const std::vector<TagDescriptor>& tags) override;
  HistoryLimits history_limits() override;
  std::vector<HistoryPage> read_history(const std::vector<HistoryQuery>& queries,
                                        std::uint32_t values_per_node) override;
  void release_history(const std::vector<HistoryQuery>& queries) noexcept override;

  bool can_read_metadata() const override { return true; }
  std::vector<VariableMetadata> read_metadata(const std::vector<TagDescriptor>& tags) override;

  // 0 when the server sets no limit.
  std::uint32_t max_nodes_per_read() const;

 private:
  void open_session();
  // The node a tag reads in the current session; nothing when its namespace URI is not in
  // the server's table. Throws std::invalid_argument for text that does not parse.
  std::optional<NodeId> node_for(const TagDescriptor& tag);
  // As node_for, in the session in use; text that does not parse is logged once per tag and
  // resolves to nothing.
  std::optional<NodeId> node_or_nothing(const TagDescriptor& tag);
  // Runs a subscription step; a failure marks the subscriptions broken (the next poll resumes
  // them) and is thrown again naming the address.
  template <typename Step>
  void guarded(Step&& step);
  // Runs a history step on the session in use (the subscription services' once subscribed)
  // with a resolver for its tags. A refused call throws HistoryServiceError and leaves the
  // source as it was; any other failure marks the source failed as read() or poll() would (the
  // next poll resumes) and is thrown again naming the address.
  template <typename Step>
  auto with_history(Step&& step);

  EndpointUrl url_;
  SessionOptions options_;
  std::unique_ptr<UaSession> session_;
  // Once subscribed: the services own the session, the engine keeps the subscriptions (and is
  // destroyed first).
  std::unique_ptr<UaSubscriptionServices> subscription_services_;
  std::unique_ptr<SubscriptionEngine> engine_;
  // For the engine's first subscribe, when the engine is made.
  std::optional<ReclaimableSubscriptions> previous_;
  // Subscribed, and the last poll or resume failed: the next poll must resume first.
  bool subscription_broken_ = false;
  // Null when structures are written as type id and body.
  std::shared_ptr<StructureCatalog> structures_;
  // Tags already reported as unreadable text, so each is logged once per source.
  std::set<std::string> reported_tags_;
  // Reads the tags' names as nodes, and reports each namespace URI the session lacks once.
  TagNodeResolver tags_{"its tags read as Bad"};
};

// The session settings for a collector that reads every `sample_timespan_msec`.
SessionOptions session_options_for(int sample_timespan_msec);

}  // namespace pyqar::ua
