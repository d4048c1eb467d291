#include "pyqar/qar_library.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

#include "journel/log.h"
#include "pyqar/rt_source.h"

namespace pyqar {

namespace {

std::unique_ptr<RtSource> default_factory(const CreateSourceArgs& args) {
  if (args.source_type == static_cast<int>(QAR_RTSOURCE::QAR_RTSOURCE_DA)) {
    return make_da_source(args.source_schema, args.sample_timespan_msec);
  }
  if (args.source_type == static_cast<int>(QAR_RTSOURCE::QAR_RTSOURCE_UA)) {
    return make_ua_source(args.source_schema, args.sample_timespan_msec, args.ua_security,
                          args.ua_decode_structures, args.ua_structures);
  }
  throw std::invalid_argument("unknown source type " + std::to_string(args.source_type));
}

}  // namespace

QARLibrary::QARLibrary() : QARLibrary(SourceFactory{}) {}

QARLibrary::QARLibrary(SourceFactory factory)
    : factory_(factory ? std::move(factory) : SourceFactory(default_factory)) {}

QARLibrary::~QARLibrary() = default;

void QARLibrary::set_log_level(QAR_LOG_LEVEL level) { log_level_ = level; }

SourceHandle QARLibrary::create_source(const CreateSourceArgs& args) {
  auto log = journel::get_logger("pyqar");
  if (args.sample_timespan_msec < 0) {
    log->error("Cannot create source for '{}': negative sample timespan {} ms", args.source_schema,
               args.sample_timespan_msec);
    return QAR_INVALID_HANDLE;
  }
  std::unique_ptr<RtSource> source;
  try {
    source = factory_(args);
  } catch (const std::exception& e) {
    log->error("Cannot create source for '{}': {}", args.source_schema, e.what());
    return QAR_INVALID_HANDLE;
  }
  if (!source) {
    log->error("Cannot create source for '{}': no source was opened", args.source_schema);
    return QAR_INVALID_HANDLE;
  }
  const SourceHandle handle = next_handle_++;
  sources_.emplace(handle, std::move(source));
  if (log_level_ <= QAR_LOG_LEVEL::QAR_LOG_LEVEL_DEBUG) {
    log->debug("Source {} opened for '{}'", handle, args.source_schema);
  }
  return handle;
}

bool QARLibrary::is_source_valid(SourceHandle source) const {
  const auto it = sources_.find(source);
  return it != sources_.end() && it->second->valid();
}

std::pair<int, std::vector<ValueObject>> QARLibrary::read_values(
    SourceHandle source, const std::vector<TagDescriptor>& batch) {
  const auto it = sources_.find(source);
  if (it == sources_.end()) {
    throw std::runtime_error("unknown source handle " + std::to_string(source));
  }
  std::vector<ValueObject> values = it->second->read(batch);
  const int count = static_cast<int>(values.size());
  return {count, std::move(values)};
}

RtSource& QARLibrary::source(SourceHandle source) {
  const auto it = sources_.find(source);
  if (it == sources_.end()) {
    throw std::runtime_error("unknown source handle " + std::to_string(source));
  }
  return *it->second;
}

void QARLibrary::destroy_source(SourceHandle source) { sources_.erase(source); }

void QARLibrary::destroy() { sources_.clear(); }

std::optional<int> QARLibrary::discovery(std::vector<qar_source_desc_t>& descs,
                                         const std::string& hostname, int port) {
  if (port < 0 || port > 65535) {
    throw std::invalid_argument("invalid port " + std::to_string(port) + " for discovery on '" +
                                hostname + "'");
  }
  const std::vector<qar_source_desc_t> found =
      port == 0 ? discover_da(hostname) : discover_ua(hostname, port);
  const std::size_t n = std::min(found.size(), descs.size());
  std::copy_n(found.begin(), n, descs.begin());
  return static_cast<int>(n);
}

}  // namespace pyqar
