#pragma once
// QARLibrary: the OPC access library object. One per connection attempt or discovery call;
// it owns the sources it creates. Created, used and destroyed on one thread.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyqar/qar_types.h"
#include "pyqar/structure_cache.h"
#include "pyqar/ua_security.h"

namespace pyqar {

class RtSource;

struct CreateSourceArgs {
  int source_type = static_cast<int>(QAR_RTSOURCE::QAR_RTSOURCE_DA);
  std::string source_schema;
  int sample_timespan_msec = 1000;
  int source_flag = 0;
  // OPC UA only: channel security, user identity and PKI folder.
  UaSecurity ua_security{};
  // OPC UA only: structured values by field name (else as type id and body), and where what
  // is learned of their types is kept across sources (null: a new cache per source).
  bool ua_decode_structures = true;
  std::shared_ptr<StructureCache> ua_structures{};
};

// Opens a source for create_source; throws std::runtime_error with the reason on failure.
// The default dispatches to the DA simulation and the OPC UA client; tests pass scripted ones.
using SourceFactory = std::function<std::unique_ptr<RtSource>(const CreateSourceArgs& args)>;

class QARLibrary {
 public:
  QARLibrary();
  // A library whose sources come from `factory` (an empty one means the default).
  explicit QARLibrary(SourceFactory factory);
  ~QARLibrary();
  QARLibrary(const QARLibrary&) = delete;
  QARLibrary& operator=(const QARLibrary&) = delete;

  void set_log_level(QAR_LOG_LEVEL level);

  // A new source, or QAR_INVALID_HANDLE when the server cannot be reached (the reason is
  // logged).
  SourceHandle create_source(const CreateSourceArgs& args);
  bool is_source_valid(SourceHandle source) const;
  // The first member is the number of values; the second one ValueObject per descriptor.
  // Throws std::runtime_error when the source is unknown or the read fails.
  std::pair<int, std::vector<ValueObject>> read_values(SourceHandle source,
                                                       const std::vector<TagDescriptor>& batch);
  // The source behind a handle, for what the handle calls do not cover (subscriptions).
  // Throws std::runtime_error when the source is unknown.
  RtSource& source(SourceHandle source);
  void destroy_source(SourceHandle source);
  // Destroys every remaining source; the object may then only be destroyed.
  void destroy();

  // Fills `descs` front to back with the servers found on hostname (port 0: OPC DA servers,
  // else the OPC UA server at that port); returns how many were filled.
  std::optional<int> discovery(std::vector<qar_source_desc_t>& descs, const std::string& hostname,
                               int port);

 private:
  SourceFactory factory_;
  QAR_LOG_LEVEL log_level_ = QAR_LOG_LEVEL::QAR_LOG_LEVEL_INFO;
  SourceHandle next_handle_ = 1;
  std::map<SourceHandle, std::unique_ptr<RtSource>> sources_;
};

}  // namespace pyqar
