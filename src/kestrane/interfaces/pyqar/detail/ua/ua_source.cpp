#include "ua_source.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "history_reader.h"
#include "journel/log.h"
#include "metadata_reader.h"
#include "monitored_item_request.h"
#include "node_id.h"
#include "value_conversion.h"

namespace pyqar::ua {
namespace {

EndpointUrl parse_schema(const std::string& schema) {
  try {
    return parse_endpoint_url(schema);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace

SessionOptions session_options_for(int sample_timespan_msec) {
  SessionOptions options;
  // A session or token that outlives several read intervals survives slow collectors.
  const double interval = std::max(0, sample_timespan_msec);
  options.requested_session_timeout_ms = std::max(60'000.0, 4 * interval);
  options.channel.requested_lifetime_ms =
      static_cast<std::uint32_t>(std::min(4'000'000'000.0, std::max(3'600'000.0, 4 * interval)));
  return options;
}

UaSource::UaSource(const std::string& schema, SessionOptions options,
                   std::shared_ptr<StructureCatalog> structures)
    : url_(parse_schema(schema)), options_(std::move(options)), structures_(std::move(structures)) {
  open_session();
}

void UaSource::open_session() {
  session_.reset();
  tags_.new_session();
  try {
    session_ = std::make_unique<UaSession>(url_, options_);
  } catch (const std::exception& e) {
    throw std::runtime_error(naming_address(url_.text, e.what()));
  }
  journel::get_logger("pyqar")->info("OPC UA session open on {}", url_.text);
  if (structures_) {
    try {
      structures_->session_opened(*session_);
    } catch (const std::exception& e) {
      session_.reset();
      throw std::runtime_error(naming_address(url_.text, e.what()));
    }
  }
}

UaSource::~UaSource() { unsubscribe(); }

std::optional<NodeId> UaSource::node_for(const TagDescriptor& tag) {
  return tags_.resolve(
      tag, [this](std::string_view uri) { return session_->namespace_index(uri); }, url_.text);
}

std::optional<NodeId> UaSource::node_or_nothing(const TagDescriptor& tag) {
  try {
    return engine_ ? subscription_services_->node_for(tag) : node_for(tag);
  } catch (const std::invalid_argument& e) {
    const std::string key = fmt::format("{}:{}", tag.namespace_index, tag.tag_name);
    if (reported_tags_.insert(key).second) {
      journel::get_logger("pyqar")->error("OPC UA tag '{}' cannot be read: {}", key, e.what());
    }
    return std::nullopt;
  }
}

bool UaSource::valid() const {
  if (engine_) return !subscription_broken_;
  return session_ && session_->usable();
}

std::uint32_t UaSource::max_nodes_per_read() const {
  return session_ ? session_->max_nodes_per_read() : 0;
}

std::vector<ValueObject> UaSource::read(const std::vector<TagDescriptor>& batch) {
  // Polling values beside subscribed events: the reads go over the subscriptions' session.
  if (engine_ && subscription_broken_) resume();
  if (!valid())
    throw std::runtime_error(fmt::format("OPC UA source {} is not connected", url_.text));
  const Timestamp now = std::chrono::system_clock::now();
  std::vector<ValueObject> out(batch.size());
  std::vector<NodeId> nodes;
  std::vector<std::size_t> slots;
  nodes.reserve(batch.size());
  slots.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    try {
      std::optional<NodeId> node =
          engine_ ? subscription_services_->node_for(batch[i]) : node_for(batch[i]);
      if (!node) {
        out[i].timestamp = now;
        continue;
      }
      nodes.push_back(std::move(*node));
      slots.push_back(i);
    } catch (const std::invalid_argument& e) {
      // One unreadable tag must not stop the others: it reads as Bad.
      out[i].timestamp = now;
      const std::string key = fmt::format("{}:{}", batch[i].namespace_index, batch[i].tag_name);
      if (reported_tags_.insert(key).second) {
        journel::get_logger("pyqar")->error("OPC UA tag '{}' cannot be read: {}", key, e.what());
      }
    }
  }
  if (nodes.empty()) return out;

  std::vector<DataValue> values;
  StructureCatalog* structures = nullptr;
  if (engine_) {
    guarded([&] {
      values = subscription_services_->read(nodes);
      structures = subscription_services_->structures(values);
    });
  } else {
    try {
      values = session_->read(nodes);
      if (structures_) {
        structures_->learn(values, *session_);
        structures = structures_.get();
      }
    } catch (const std::exception& e) {
      session_.reset();
      throw std::runtime_error(naming_address(url_.text, e.what()));
    }
  }
  const std::vector<std::string>& namespaces =
      engine_ ? subscription_services_->namespace_array() : session_->namespace_array();
  std::string refusal;
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (structures == nullptr || !StructureCatalog::holds_structure(values[k])) {
      out[slots[k]] = to_value_object(values[k], now, namespaces);
      continue;
    }
    out[slots[k]] = to_value_object(values[k], now, namespaces, &structures->decoder(), &refusal);
    if (!refusal.empty()) {
      const TagDescriptor& tag = batch[slots[k]];
      structures->refused(fmt::format("{}:{}", tag.namespace_index, tag.tag_name), refusal);
      refusal.clear();
    }
  }
  return out;
}

void UaSource::subscribe(std::vector<MonitoredTag> tags, const SubscriptionSettings& settings) {
  // The session must outlive the subscriptions: after a cut shorter than their lifetime the
  // same session resumes them, while a new one may not take them over (never an anonymous
  // user's over security None) and they would be created again, losing what the cut held.
  const double lifetime = subscription_lifetime_ms(settings.publishing_interval_ms);
  if (lifetime > options_.requested_session_timeout_ms) {
    options_.requested_session_timeout_ms = lifetime;
    if (subscription_services_) {
      // The session in use keeps its timeout until it is replaced.
      subscription_services_->ask_session_timeout(lifetime);
    } else {
      // The session opened for reading asked for less; it holds nothing yet, so one that asks
      // for enough replaces it.
      session_.reset();
    }
  }
  if (!engine_) {
    subscription_services_ =
        std::make_unique<UaSubscriptionServices>(std::move(session_), url_, options_, structures_);
    engine_ = std::make_unique<SubscriptionEngine>(*subscription_services_,
                                                   SubscriptionEngine::Options{});
    if (previous_) engine_->reclaim_at_subscribe(std::move(*previous_));
    previous_.reset();
  }
  guarded([&] { engine_->subscribe(std::move(tags), settings); });
}

SubscriptionUpdate UaSource::poll(std::chrono::milliseconds wait) {
  if (!engine_) throw std::logic_error("poll before subscribe");
  if (subscription_broken_) resume();
  SubscriptionUpdate update;
  guarded([&] { update = engine_->poll(wait); });
  return update;
}

void UaSource::acknowledge(std::uint64_t ack_token) {
  if (engine_) engine_->acknowledge(ack_token);
}

void UaSource::resume() {
  if (!engine_) throw std::logic_error("resume before subscribe");
  guarded([&] { engine_->resume(); });
  subscription_broken_ = false;
}

SubscriptionStatus UaSource::subscription_status() const {
  return engine_ ? engine_->status() : SubscriptionStatus{};
}

void UaSource::unsubscribe() noexcept {
  if (engine_) engine_->unsubscribe();
}

std::string UaSource::reclaim_refusal() const {
  if (options_.security.username.empty() && options_.security.mode == UaSecurityMode::None)
    return "an anonymous session over security None cannot take over subscriptions";
  return {};
}

void UaSource::reclaim_at_subscribe(ReclaimableSubscriptions previous) {
  if (engine_) {
    engine_->reclaim_at_subscribe(std::move(previous));
  } else {
    previous_ = std::move(previous);
  }
}

ReclaimableSubscriptions UaSource::reclaimable() const {
  return engine_ ? engine_->reclaimable() : ReclaimableSubscriptions{};
}

std::uint64_t UaSource::reclaimable_version() const {
  return engine_ ? engine_->reclaimable_version() : 0;
}

std::vector<KeptSequence> UaSource::kept_sequences(std::uint64_t once_kept) const {
  return engine_ ? engine_->kept_sequences(once_kept) : std::vector<KeptSequence>{};
}

template <typename Step>
auto UaSource::with_history(Step&& step) {
  if (!valid()) {
    throw std::runtime_error(fmt::format("OPC UA source {} is not connected", url_.text));
  }
  try {
    UaSession& session = engine_ ? subscription_services_->session() : *session_;
    HistoryReader reader(
        session, [this](const TagDescriptor& tag) { return node_or_nothing(tag); },
        structures_.get());
    return step(reader, session);
  } catch (const ServiceError& e) {
    throw HistoryServiceError(e.status(), naming_address(url_.text, e.what()));
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception& e) {
    if (engine_) {
      subscription_broken_ = true;
    } else {
      session_.reset();
    }
    throw std::runtime_error(naming_address(url_.text, e.what()));
  }
}

std::vector<std::optional<bool>> UaSource::keeps_history(const std::vector<TagDescriptor>& tags) {
  return with_history(
      [&](HistoryReader& reader, UaSession&) { return reader.keeps_history(tags); });
}

HistoryLimits UaSource::history_limits() {
  return with_history([](HistoryReader&, UaSession& session) { return session.history_limits(); });
}

std::vector<HistoryPage> UaSource::read_history(const std::vector<HistoryQuery>& queries,
                                                std::uint32_t values_per_node) {
  return with_history(
      [&](HistoryReader& reader, UaSession&) { return reader.read(queries, values_per_node); });
}

void UaSource::release_history(const std::vector<HistoryQuery>& queries) noexcept {
  try {
    with_history([&](HistoryReader& reader, UaSession&) {
      reader.release(queries);
      return 0;
    });
  } catch (const std::exception& e) {
    // A point the server keeps ends with the session at the latest.
    journel::get_logger("pyqar")->debug("OPC UA source {}: continuation points not released: {}",
                                        url_.text, e.what());
  }
}

std::vector<VariableMetadata> UaSource::read_metadata(const std::vector<TagDescriptor>& tags) {
  if (engine_ && subscription_broken_) resume();
  if (!valid()) {
    throw std::runtime_error(fmt::format("OPC UA source {} is not connected", url_.text));
  }
  try {
    UaSession& session = engine_ ? subscription_services_->session() : *session_;
    MetadataReader reader(session,
                          [this](const TagDescriptor& tag) { return node_or_nothing(tag); });
    return reader.read(tags);
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception& e) {
    if (engine_) {
      subscription_broken_ = true;
    } else {
      session_.reset();
    }
    throw std::runtime_error(naming_address(url_.text, e.what()));
  }
}

template <typename Step>
void UaSource::guarded(Step&& step) {
  try {
    step();
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception& e) {
    subscription_broken_ = true;
    throw std::runtime_error(naming_address(url_.text, e.what()));
  }
}

}  // namespace pyqar::ua

namespace pyqar {

std::unique_ptr<RtSource> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                         const UaSecurity& security, bool decode_structures,
                                         std::shared_ptr<StructureCache> structures) {
  if (!decode_structures) {
    structures.reset();
  } else if (!structures) {
    structures = make_structure_cache();
  }
  ua::SessionOptions options = ua::session_options_for(sample_timespan_msec);
  options.security = security;
  return std::make_unique<ua::UaSource>(schema, std::move(options), std::move(structures));
}

}  // namespace pyqar
