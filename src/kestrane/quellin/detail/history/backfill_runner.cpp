#include "backfill_runner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "journel/log.h"
#include "pyqar/status_names.h"
#include "utc_text.h"

namespace quellin {

namespace {

constexpr std::uint32_t kBadContinuationPointInvalid = 0x804A0000;
constexpr std::uint32_t kBadNoContinuationPoints = 0x804B0000;
constexpr std::uint32_t kBadTooManyOperations = 0x80100000;
constexpr std::uint32_t kBadResponseTooLarge = 0x80B90000;
constexpr std::uint32_t kSeverityMask = 0xC0000000;
constexpr std::uint32_t kCodeMask = 0xFFFF0000;

bool is_bad(std::uint32_t status) { return (status & kSeverityMask) == 0x80000000; }

std::string time_text(std::int64_t us) { return utc_text(us); }

std::string names_of(const std::vector<std::string>& tags) {
  constexpr std::size_t kShown = 5;
  std::string out;
  for (std::size_t i = 0; i < tags.size() && i < kShown; ++i) {
    if (i > 0) out += ", ";
    out += tags[i];
  }
  if (tags.size() > kShown) out += fmt::format(" and {} more", tags.size() - kShown);
  return out;
}

}  // namespace

BackfillRunner::BackfillRunner(Options options)
    : options_(std::move(options)),
      log_(journel::get_logger("quellin")),
      file_(options_.state_dir, options_.endpoint),
      tracker_(options_.polling,
               static_cast<std::int64_t>(options_.settings.initial_seconds * 1e6)) {
  for (HistorySpan& span : file_.load()) add_span(std::move(span));
  if (!entries_.empty()) {
    log().info("Backfill: {} spans of {} tags left by the previous run go on where they stood",
               entries_.size(), tags_seen_.size());
  }
  save(true);
  publish_progress();
}

BackfillRunner::~BackfillRunner() = default;

void BackfillRunner::add_span(HistorySpan span) {
  const std::int64_t now_us = options_.wall_clock_us();
  const auto max_age_us = static_cast<std::int64_t>(options_.settings.max_age_seconds * 1e6);
  const std::int64_t oldest_allowed = now_us - max_age_us;
  if (span.done_above_us <= oldest_allowed) {
    log().warn(
        "Backfill: tag '{}': its gap from {} to {} is older than opc_backfill_max_age "
        "({} s) and is left unfilled",
        span.tag, time_text(span.low_us), time_text(span.high_us),
        options_.settings.max_age_seconds);
    note_unfilled(backfill_reason::kTooOld, 1);
    return;
  }
  if (span.low_us < oldest_allowed) {
    log().warn(
        "Backfill: tag '{}': only the newest part of its gap from {} to {} is filled; "
        "what is older than {} (opc_backfill_max_age) is left unfilled",
        span.tag, time_text(span.low_us), time_text(span.high_us), time_text(oldest_allowed));
    note_unfilled(backfill_reason::kTooOld, 1);
    span.low_us = oldest_allowed;
    span.low_edge.clear();
  }
  if (span.done()) return;
  if (!running_) {
    running_ = true;
    started_at_ = options_.clock();
    values_ = 0;
    tags_seen_.clear();
    unfilled_.clear();
  }
  tags_seen_.insert(span.tag);
  const std::uint64_t id = next_id_++;
  Entry entry{.durable = span, .pager = std::make_unique<HistoryPager>(std::move(span))};
  entries_.emplace(id, std::move(entry));
  dirty_ = true;
}

void BackfillRunner::take_found() {
  for (const std::string& tag : tracker_.take_untimed()) {
    log().warn(
        "Backfill: tag '{}': its values carry no source time, so its gaps have no edge "
        "in the server's history; they are not filled",
        tag);
    note_unfilled(backfill_reason::kNoSourceTime, 1);
  }
  std::vector<HistorySpan> spans = tracker_.take_spans();
  const std::vector<GapTracker::StoredInside> inside = tracker_.take_inside();
  if (!inside.empty() && !entries_.empty()) note_inside(inside);
  if (spans.empty()) return;
  const bool was_running = running_ && !entries_.empty();
  const std::size_t before = entries_.size();
  std::int64_t oldest = spans.front().low_us;
  for (HistorySpan& span : spans) {
    oldest = std::min(oldest, span.low_us);
    add_span(std::move(span));
  }
  save(true);
  const std::size_t added = entries_.size() - before;
  if (added > 0 && !was_running) {
    log().info("Backfill starts: {} spans of {} tags, the oldest from {}", added, tags_seen_.size(),
               time_text(oldest));
  } else if (added > 0) {
    // A backfill that keeps growing (a queue too small for its tags) says so once a minute.
    grown_spans_ += added;
    const double now = options_.clock();
    if (now - grown_logged_at_ >= kGrowLogSeconds) {
      log().info("Backfill grows: {} spans more since it started or last said so, {} tags in all",
                 grown_spans_, tags_seen_.size());
      grown_spans_ = 0;
      grown_logged_at_ = now;
    }
  }
  note_pending_tags();
  publish_progress();
}

void BackfillRunner::note_inside(const std::vector<GapTracker::StoredInside>& inside) {
  for (const GapTracker::StoredInside& row : inside) {
    for (auto& [id, entry] : entries_) {
      HistorySpan& span = entry.durable;
      if (span.tag != row.tag || row.time_us <= span.low_us || row.time_us >= span.high_us)
        continue;
      // Only where the span is still to be read: what is handed out already cannot change.
      if (row.time_us >= entry.pager->position_us()) continue;
      span.inside.emplace_back(row.time_us, row.fingerprint);
      entry.pager->also_stored(row.time_us, row.fingerprint);
      dirty_ = true;
    }
  }
}

void BackfillRunner::edges_known(const std::vector<GapTracker::EdgeRequest>& asked,
                                 const std::vector<GapTracker::StoredEdge>& edges) {
  tracker_.edges_known(asked, edges);
  take_found();
}

bool BackfillRunner::has_work(double now) const {
  // Batches read already wait only for room at the writer, whatever else holds reading back.
  if (!ready_.empty()) return true;
  if (now < paused_until_) return false;
  for (const auto& [id, entry] : entries_) {
    if (!entry.reading_done && !parked_.contains(entry.durable.tag)) return true;
  }
  return false;
}

std::uint32_t BackfillRunner::values_per_node() const {
  std::uint32_t values = std::max<std::uint32_t>(1, options_.settings.values_per_node);
  if (limits_ && limits_->max_return_values > 0)
    values = std::min(values, limits_->max_return_values);
  const double rate = options_.settings.rate_values_per_second;
  if (rate > 0.0)
    values = std::min<std::uint32_t>(values, static_cast<std::uint32_t>(std::max(1.0, rate)));
  return values;
}

std::size_t BackfillRunner::nodes_per_call(std::uint32_t per_node) const {
  std::size_t nodes = std::max<std::uint64_t>(1, kMaxValuesPerCall / per_node);
  if (limits_ && limits_->max_nodes_per_call > 0)
    nodes = std::min<std::size_t>(nodes, limits_->max_nodes_per_call);
  if (node_cap_ > 0) nodes = std::min(nodes, node_cap_);
  const double rate = options_.settings.rate_values_per_second;
  if (rate > 0.0)
    nodes = std::min<std::size_t>(nodes, static_cast<std::size_t>(std::max(1.0, rate / per_node)));
  return nodes;
}

void BackfillRunner::refill_tokens(double now) {
  const double rate = options_.settings.rate_values_per_second;
  if (!(rate > 0.0)) return;
  if (tokens_at_ < 0.0) {
    tokens_ = rate;
  } else {
    tokens_ = std::min(rate, tokens_ + (now - tokens_at_) * rate);
  }
  tokens_at_ = now;
}

std::vector<std::uint64_t> BackfillRunner::pick(std::size_t nodes) const {
  // Newest data first: the span whose unread part reaches furthest up, and with it the spans
  // that ask for the same stretch of time (one call has one time range for all its nodes).
  struct Ready {
    std::int64_t position;
    std::pair<std::int64_t, std::int64_t> range;
    std::uint64_t id;
  };
  std::vector<Ready> ready;
  for (const auto& [id, entry] : entries_) {
    if (entry.reading_done || parked_.contains(entry.durable.tag)) continue;
    const auto access = keeps_history_.find(entry.durable.tag);
    if (access == keeps_history_.end() || !access->second) continue;
    ready.push_back({entry.pager->position_us(), entry.pager->range_us(), id});
  }
  if (ready.empty()) return {};
  const auto newest =
      std::max_element(ready.begin(), ready.end(),
                       [](const auto& a, const auto& b) { return a.position < b.position; });
  const auto range = newest->range;
  std::vector<std::uint64_t> ids;
  std::set<std::string_view> tags;
  for (const Ready& candidate : ready) {
    if (ids.size() >= nodes) break;
    if (candidate.range != range) continue;
    // One span of a tag per call: a node twice in one call would confuse some servers.
    if (!tags.insert(entries_.at(candidate.id).durable.tag).second) continue;
    ids.push_back(candidate.id);
  }
  return ids;
}

void BackfillRunner::check_access(pyqar::RtSource& source) {
  std::vector<std::string> unknown;
  for (const auto& [id, entry] : entries_) {
    const std::string& tag = entry.durable.tag;
    if (!keeps_history_.contains(tag) &&
        std::find(unknown.begin(), unknown.end(), tag) == unknown.end()) {
      unknown.push_back(tag);
    }
    if (unknown.size() >= 1'000) break;
  }
  if (unknown.empty()) return;
  std::vector<pyqar::TagDescriptor> descriptors;
  descriptors.reserve(unknown.size());
  for (const std::string& tag : unknown) descriptors.push_back(options_.describe(tag));
  const std::vector<std::optional<bool>> answers = source.keeps_history(descriptors);
  std::vector<std::string> without;
  for (std::size_t i = 0; i < unknown.size(); ++i) {
    const bool keeps = i < answers.size() && answers[i].value_or(false);
    keeps_history_[unknown[i]] = keeps;
    if (!keeps) without.push_back(unknown[i]);
  }
  if (without.empty()) return;
  std::size_t dropped = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (std::find(without.begin(), without.end(), it->second.durable.tag) != without.end()) {
      it = entries_.erase(it);
      ++dropped;
      dirty_ = true;
    } else {
      ++it;
    }
  }
  log().warn(
      "Backfill: {} tags keep no history on the server (their AccessLevel lacks "
      "HistoryRead, or it could not be read), so their {} gaps are left unfilled: {}",
      without.size(), dropped, names_of(without));
  note_unfilled(backfill_reason::kNoHistory, dropped);
}

void BackfillRunner::run(pyqar::RtSource& source, double deadline, const Store& store,
                         const Room& room, const Pause& pause) {
  if (entries_.empty()) return;
  if (!source.can_read_history()) {
    if (!unsupported_reported_) {
      unsupported_reported_ = true;
      log().warn("Backfill: this OPC source keeps no history; {} gaps are left unfilled",
                 entries_.size());
      note_unfilled(backfill_reason::kUnsupported, entries_.size());
    }
    return;
  }
  try {
    if (!limits_) limits_ = source.history_limits();
    check_access(source);
  } catch (const pyqar::HistoryServiceError& e) {
    log().warn("Backfill: the server refused to tell its history limits or access: {}", e.what());
    paused_until_ = options_.clock() + kRefusedPauseSeconds;
    return;
  }
  // A turn that overran its interval (a busy machine) leaves no time for history; one call a
  // second is made all the same, so that a backfill is slowed down but never starved.
  bool owed = options_.clock() - last_call_at_ >= kStarvedSeconds;
  while (owed || options_.clock() < deadline) {
    flush(store, room);
    if (!ready_.empty()) {
      // The writer is busy: live values go first.
      if (options_.clock() >= deadline) break;
      pause(kRoomPollSeconds);
      continue;
    }
    const double now = options_.clock();
    if (now < paused_until_) break;
    const std::uint32_t per_node = values_per_node();
    std::size_t nodes = nodes_per_call(per_node);
    if (options_.settings.rate_values_per_second > 0.0) {
      refill_tokens(now);
      const auto affordable = static_cast<std::size_t>(tokens_ / per_node);
      if (affordable == 0) break;
      nodes = std::min(nodes, affordable);
    }
    const std::vector<std::uint64_t> ids = pick(nodes);
    if (ids.empty()) break;
    owed = false;
    last_call_at_ = now;
    std::vector<pyqar::HistoryQuery> queries;
    queries.reserve(ids.size());
    for (const std::uint64_t id : ids) {
      const Entry& entry = entries_.at(id);
      queries.push_back(entry.pager->query(options_.describe(entry.durable.tag)));
    }
    std::vector<pyqar::HistoryPage> pages;
    try {
      pages = source.read_history(queries, per_node);
    } catch (const pyqar::HistoryServiceError& e) {
      if (options_.metrics) options_.metrics->history_read(pyqar::status_name(e.status()));
      const std::uint32_t code = e.status() & kCodeMask;
      if ((code == kBadTooManyOperations || code == kBadResponseTooLarge) && ids.size() > 1) {
        node_cap_ = std::max<std::size_t>(1, ids.size() / 2);
        continue;
      }
      log().warn(
          "Backfill: the server refused a history read of {} nodes: {}; trying again in {} s",
          ids.size(), e.what(), kRefusedPauseSeconds);
      paused_until_ = now + kRefusedPauseSeconds;
      break;
    } catch (...) {
      if (options_.metrics) options_.metrics->history_read("error");
      connection_lost();
      throw;
    }
    if (options_.metrics) options_.metrics->history_read("Good");
    std::uint64_t received = 0;
    bool out_of_points = false;
    for (std::size_t i = 0; i < ids.size() && i < pages.size(); ++i) {
      received += pages[i].values.size();
      if (!handle_page(ids[i], std::move(pages[i]))) out_of_points = true;
    }
    if (!abandoned_.empty()) source.release_history(std::exchange(abandoned_, {}));
    if (out_of_points && ids.size() > 1) {
      node_cap_ = std::max<std::size_t>(1, ids.size() / 2);
      log().info(
          "Backfill: the server has no continuation points left; {} nodes per call from "
          "now on",
          node_cap_);
    }
    if (options_.settings.rate_values_per_second > 0.0) {
      tokens_ -= static_cast<double>(std::max<std::uint64_t>(received, 1));
    }
  }
  flush(store, room);
  note_pending_tags();
  maybe_finished();
  save(false);
  publish_progress();
}

void BackfillRunner::flush(const Store& store, const Room& room) {
  while (!ready_.empty()) {
    Ready& ready = ready_.front();
    std::uint64_t ticket = last_ticket_;
    if (!ready.batch.values.empty()) {
      if (room && !room()) return;
      const auto it = entries_.find(ready.id);
      if (it != entries_.end()) {
        const std::size_t count = ready.batch.values.size();
        ticket = store(it->second.durable.tag, ready.batch.values, std::move(ready.batch.time_us),
                       ready.batch.seq);
        last_ticket_ = std::max(last_ticket_, ticket);
        if (ticket == 0) ticket = last_ticket_;
        values_ += count;
        if (options_.metrics) options_.metrics->backfill_values(count);
      }
    }
    // Progress follows the batches of its span in order: it counts once every batch before it
    // is kept.
    pending_.push_back({ticket, ready.id, ready.batch.done_above_us});
    ready_.pop_front();
  }
}

bool BackfillRunner::handle_page(std::uint64_t id, pyqar::HistoryPage page) {
  Entry& entry = entries_.at(id);
  const std::string& tag = entry.durable.tag;
  const std::uint32_t code = page.status & kCodeMask;
  if (code == kBadContinuationPointInvalid) {
    // The point is gone (a new session, or the server forgot it): read again from where the
    // handed-out values end.
    log().info(
        "Backfill: tag '{}': the server no longer knows its continuation point; reading "
        "again from {}",
        tag, time_text(entry.pager->position_us()));
    entry.pager->restart();
    return true;
  }
  if (code == kBadNoContinuationPoints) {
    entry.pager->restart();
    return false;
  }
  if (is_bad(page.status)) {
    park_tag(tag, page.status);
    return true;
  }
  std::vector<HistoryPager::Batch> batches;
  const pyqar::HistoryQuery asked = entry.pager->query(options_.describe(tag));
  const HistoryPager::State state = entry.pager->take(std::move(page), batches);
  if (std::string point = entry.pager->take_abandoned_point(); !point.empty()) {
    pyqar::HistoryQuery release = asked;
    release.continuation_point = std::move(point);
    abandoned_.push_back(std::move(release));
  }
  for (HistoryPager::Batch& batch : batches) ready_.push_back({id, std::move(batch)});
  if (state == HistoryPager::State::loop) {
    log().warn(
        "Backfill: tag '{}': the server answered a continuation point with no values and "
        "the same point again; the rest of its gap, from {} to {}, is left unfilled",
        tag, time_text(entry.durable.low_us), time_text(entry.pager->position_us()));
    note_unfilled(backfill_reason::kLoop, 1);
    ready_.push_back(
        {id, {.seq = 0, .values = {}, .time_us = {}, .done_above_us = entry.durable.low_us}});
  }
  if (state != HistoryPager::State::more) entry.reading_done = true;
  return true;
}

void BackfillRunner::park_tag(const std::string& tag, std::uint32_t status) {
  if (!parked_.insert(tag).second) return;
  std::size_t spans = 0;
  for (auto& [id, entry] : entries_) {
    if (entry.durable.tag == tag) ++spans;
  }
  log().warn(
      "Backfill: tag '{}': the server refused its history ({}); its {} gaps wait for the "
      "next start",
      tag, pyqar::status_name(status), spans);
  note_unfilled(backfill_reason::kRefused, spans);
}

void BackfillRunner::kept(std::uint64_t kept_through) {
  bool moved = false;
  bool finished = false;
  while (!pending_.empty() && pending_.front().ticket <= kept_through) {
    const Pending done = pending_.front();
    pending_.pop_front();
    const auto it = entries_.find(done.id);
    if (it == entries_.end()) continue;
    HistorySpan& span = it->second.durable;
    span.done_above_us = std::min(span.done_above_us, done.done_above_us);
    moved = true;
    if (span.done() && it->second.reading_done) {
      entries_.erase(it);
      finished = true;
    }
  }
  if (!moved) return;
  dirty_ = true;
  // A span finished leaves the file at once: the next start must not read it again.
  save(finished);
  maybe_finished();
  publish_progress();
}

void BackfillRunner::connection_lost() {
  for (auto& [id, entry] : entries_) entry.pager->restart();
  limits_.reset();
}

void BackfillRunner::stop(pyqar::RtSource* source) noexcept {
  try {
    if (source != nullptr && source->can_read_history()) {
      std::vector<pyqar::HistoryQuery> open;
      for (const auto& [id, entry] : entries_) {
        if (!entry.pager->continuation_point().empty()) {
          open.push_back(entry.pager->query(options_.describe(entry.durable.tag)));
        }
      }
      if (!open.empty()) source->release_history(open);
    }
    for (auto& [id, entry] : entries_) entry.pager->restart();
    save(true);
  } catch (const std::exception& e) {
    log().error("Backfill: could not save its progress at the stop: {}", e.what());
  }
}

void BackfillRunner::save(bool force) {
  if (!dirty_ && !force) return;
  const double now = options_.clock();
  if (!force && now - last_save_ < kSaveSeconds) return;
  std::vector<HistorySpan> spans;
  spans.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) {
    if (!entry.durable.done()) spans.push_back(entry.durable);
  }
  try {
    file_.save(spans);
    dirty_ = false;
    last_save_ = now;
  } catch (const std::exception& e) {
    log().error(
        "Backfill: cannot keep its pending gaps in '{}': {}; after a crash they would "
        "not be filled",
        file_.path().string(), e.what());
  }
}

void BackfillRunner::note_unfilled(std::string_view reason, std::size_t spans) {
  if (spans == 0) return;
  unfilled_[std::string(reason)] += spans;
  if (options_.metrics) options_.metrics->backfill_unfilled(spans, reason);
}

void BackfillRunner::note_pending_tags() {
  if (!options_.metrics) return;
  std::set<std::string_view> tags;
  for (const auto& [id, entry] : entries_) tags.insert(entry.durable.tag);
  options_.metrics->backfill_pending_tags(tags.size());
}

void BackfillRunner::maybe_finished() {
  if (!running_) return;
  for (const auto& [id, entry] : entries_) {
    if (!parked_.contains(entry.durable.tag)) return;
  }
  running_ = false;
  std::string unfilled;
  for (const auto& [reason, spans] : unfilled_) {
    unfilled += fmt::format("{}{} {}", unfilled.empty() ? "" : ", ", spans, reason);
  }
  log().info(
      "Backfill finished: {} values of {} tags stored from the server's history in {:.1f} "
      "s; spans left unfilled: {}",
      values_, tags_seen_.size(), options_.clock() - started_at_,
      unfilled.empty() ? "none" : unfilled);
  note_pending_tags();
}

void BackfillRunner::publish_progress() {
  BackfillProgress progress;
  progress.running = running_;
  progress.tags_total = tags_seen_.size();
  std::set<std::string_view> waiting;
  std::optional<std::int64_t> oldest;
  for (const auto& [id, entry] : entries_) {
    waiting.insert(entry.durable.tag);
    if (!oldest || entry.durable.low_us < *oldest) oldest = entry.durable.low_us;
  }
  progress.tags_done = progress.tags_total - std::min(progress.tags_total, waiting.size());
  progress.values = values_;
  if (oldest) {
    progress.oldest = pyqar::Timestamp(
        std::chrono::duration_cast<pyqar::Timestamp::duration>(std::chrono::microseconds(*oldest)));
  }
  std::lock_guard lock(progress_mutex_);
  progress_ = progress;
}

BackfillProgress BackfillRunner::progress() const {
  std::lock_guard lock(progress_mutex_);
  return progress_;
}

}  // namespace quellin
