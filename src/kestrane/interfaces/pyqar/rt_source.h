#pragma once
// RtSource: one open real-time connection to an OPC server, behind QARLibrary.
// Created, used and destroyed on one thread; not synchronised.
// Internal to pyqar: the DA simulation and the OPC UA client each implement it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/history_types.h"
#include "pyqar/qar_types.h"
#include "pyqar/reclaimable_subscriptions.h"
#include "pyqar/structure_cache.h"
#include "pyqar/subscription_types.h"
#include "pyqar/ua_security.h"
#include "pyqar/variable_metadata.h"

namespace pyqar {

class RtSource {
 public:
  virtual ~RtSource() = default;
  RtSource(const RtSource&) = delete;
  RtSource& operator=(const RtSource&) = delete;

  // Whether the source can serve reads now.
  virtual bool valid() const = 0;
  // Exactly one ValueObject per descriptor, in order. Throws std::runtime_error when the
  // connection fails (the source is then no longer valid).
  virtual std::vector<ValueObject> read(const std::vector<TagDescriptor>& batch) = 0;

  // Report by exception. A source without subscriptions (the default) throws
  // std::logic_error from each of these but can_subscribe().
  virtual bool can_subscribe() const { return false; }
  // Creates subscriptions and monitored items for `tags` (replacing any earlier ones).
  // Items the server refuses are logged once each and tried again later, never holding up the
  // others. Throws std::runtime_error when the connection fails.
  virtual void subscribe(std::vector<MonitoredTag> tags, const SubscriptionSettings& settings);
  // Keeps the Publish requests going and waits up to `wait` for notifications; returns what
  // arrived (possibly nothing). Heals what it can on its own: gaps (Republish, else one Read of
  // the tags concerned), dead or deleted subscriptions (created again), items to retry. Throws
  // std::runtime_error when the connection fails: call resume() next.
  virtual SubscriptionUpdate poll(std::chrono::milliseconds wait);
  // The rows of every update up to `ack_token` are kept: acknowledge them to the server with
  // the next Publish.
  virtual void acknowledge(std::uint64_t ack_token);
  // After a failure: connects again, keeping the subscriptions where the server allows it
  // (same session on a new channel, else a transfer to a new session, else created again) and
  // logs which. Throws std::runtime_error when the server cannot be reached; call again later.
  virtual void resume();
  virtual SubscriptionStatus subscription_status() const;
  // Deletes the subscriptions and closes the session, within a few seconds; never throws.
  virtual void unsubscribe() noexcept;

  // Taking subscriptions over from an earlier process that ended without deleting them.
  // Empty when a later process may take this source's subscriptions over, else why not.
  virtual std::string reclaim_refusal() const;
  // What the earlier process left (see ReclaimableSubscriptions): the next subscribe() takes
  // over what the server still holds of it before creating anything. Ignored by default.
  virtual void reclaim_at_subscribe(ReclaimableSubscriptions previous);
  // What a later process would need now, and a number that changes whenever that does, but
  // for the kept sequence numbers, which come alone: per subscription, the last message kept
  // once every update up to the ack token `once_kept` is (0: as acknowledged now). Nothing by
  // default.
  virtual ReclaimableSubscriptions reclaimable() const { return {}; }
  virtual std::uint64_t reclaimable_version() const { return 0; }
  virtual std::vector<KeptSequence> kept_sequences(std::uint64_t /*once_kept*/) const { return {}; }

  // History of raw values, beside live collection on the same connection. A source without
  // history (the default) says false and throws std::logic_error from the others.
  virtual bool can_read_history() const { return false; }
  // Per tag, in order: whether its variable keeps history (the HistoryRead bit of its
  // AccessLevel); nothing where the AccessLevel could not be read. Throws std::runtime_error
  // when the connection fails.
  virtual std::vector<std::optional<bool>> keeps_history(const std::vector<TagDescriptor>& tags);
  virtual HistoryLimits history_limits();
  // One HistoryRead of raw values (not modified ones, no bounds), at most `values_per_node`
  // per node (0: as many as the server gives), source and server times (source alone where the
  // server refuses both); one page per query, in order. Throws HistoryServiceError when the
  // server refuses the call, std::runtime_error when the connection fails.
  virtual std::vector<HistoryPage> read_history(const std::vector<HistoryQuery>& queries,
                                                std::uint32_t values_per_node);
  // Gives the queries' continuation points back to the server; never throws.
  virtual void release_history(const std::vector<HistoryQuery>& queries) noexcept;

  // What the server says of each tag's variable beside its value (see VariableMetadata). A
  // source without it (the default) says false and throws std::logic_error from the other.
  virtual bool can_read_metadata() const { return false; }
  // One result per tag, in order, in batched Reads and TranslateBrowsePathsToNodeIds split to
  // the server's limits; a tag whose variable cannot be read gets its status alone. Throws
  // std::runtime_error when the connection fails.
  virtual std::vector<VariableMetadata> read_metadata(const std::vector<TagDescriptor>& tags);

 protected:
  RtSource() = default;
};

// The built-in OPC DA simulation ("opc.da://localhost/OstrevoV2.1.0"). Throws
// std::runtime_error with the reason for any other DA address.
std::unique_ptr<RtSource> make_da_source(const std::string& schema, int sample_timespan_msec);
// Servers the DA simulation offers on `hostname` (the simulation itself on local hosts).
std::vector<qar_source_desc_t> discover_da(const std::string& hostname);

// An OPC UA client session ("opc.tcp://host:port[/path]"), connected and activated, with
// `security`'s channel security and user. Throws std::runtime_error with the reason when it
// cannot connect.
// With `decode_structures`, structured values whose type the server describes
// (DataTypeDefinition) are written as JSON by field name, else as their type id and body;
// what is learned of the types goes to `structures` (a new cache when none is given), which
// a caller keeps to hand to the next source after a reconnect.
std::unique_ptr<RtSource> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                         const UaSecurity& security = {},
                                         bool decode_structures = true,
                                         std::shared_ptr<StructureCache> structures = nullptr);
// Servers known to the OPC UA server or discovery server at hostname:port.
std::vector<qar_source_desc_t> discover_ua(const std::string& hostname, int port);

}  // namespace pyqar
