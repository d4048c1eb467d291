#pragma once
// WindowSettings: the desktop's side of config.ini, read once when the window is built and
// edited in place at each start, so comments, layout and other keys survive. Holds the OPC UA
// security and the acquisition the operator chose until the next start writes them. Owned by
// MainWidget; GUI thread only.

#include <QString>
#include <optional>

#include "config/console_config.h"
#include "config/spool_start.h"
#include "pyqar/ua_security.h"
#include "quellin/acquisition_options.h"
#include "tidewell/types.h"

class WindowSettings {
 public:
  // What a start of collection writes back.
  struct Collection {
    QString dbname;  // "tsdb_default" when empty
    QString opc_host;
    QString opc_schema;
    QString opc_type;
    QString opc_port;
    std::optional<QString> tag_csv_path;  // written when set and not empty
    // Policy, mode, user name and password, written when set; a key the file lacks is added
    // only for a value other than its default. The folder of certificates is never written.
    std::optional<pyqar::UaSecurity> security{};
    // opc_acquisition, the subscription, backfill and event settings (tag_monitor is not written),
    // the same way: a key the file lacks is added only for a value other than its default.
    std::optional<quellin::AcquisitionOptions> acquisition{};
  };

  // Reads `ini_path`. Throws std::runtime_error "Configuration file not found: <path>" (also
  // logged) when it is no regular file, journel::IniError for a malformed file or value
  // (a port or autocommit that is no number or boolean word, a non-integer opc_port under
  // "OPC UA"), and std::runtime_error for a port out of range, an unknown driver, a spool
  // folder that cannot be made or written, start_without_tsdb without a spool, or OPC UA
  // security or acquisition settings that are not valid.
  static WindowSettings load(const QString& ini_path);

  const QString& ini_path() const { return ini_path_; }
  const tidewell::TsdbSettings& tsdb_cfg() const { return tsdb_cfg_; }
  // Where rows wait that the database cannot take ([Kestrane] spool_dir and spool_max_mb).
  const kestrane_config::SpoolConfig& spool() const { return spool_; }
  // How a start of collection uses the spool.
  kestrane_config::SpoolStart spool_start() const { return {spool_, start_without_tsdb_}; }
  // [Kestrane] start_without_tsdb: the window opens, imports and collects (into the spool)
  // while the database cannot be reached; the source and tags are registered once it answers.
  bool start_without_tsdb() const { return start_without_tsdb_; }
  // "OPC DA" or "OPC UA": the configured type when it is one of them, else "OPC DA".
  const QString& opc_type() const { return opc_type_; }
  const QString& opc_host() const { return opc_host_; }
  const QString& opc_schema() const { return opc_schema_; }
  // The saved port under "OPC UA" (4840 when none is saved); nullopt under "OPC DA".
  std::optional<int> opc_port() const { return opc_port_; }
  // As read, or as last set; its pki_dir is the configured folder, made absolute.
  const pyqar::UaSecurity& security() const { return security_; }
  void set_security(const pyqar::UaSecurity& security) { security_ = security; }
  // [Kestrane] opc_acquisition, the subscription, backfill and event settings, as read or as
  // last set.
  const quellin::AcquisitionOptions& acquisition() const { return acquisition_; }
  void set_acquisition(const quellin::AcquisitionOptions& acquisition) {
    acquisition_ = acquisition;
  }

  // Replaces the changed values in the file (a missing file is started empty), writing a
  // new file beside it and renaming it over the old one, then logs "Configuration saved to
  // <path>. OPC Schema: <schema>". A file that then holds an opc_password is written for its
  // owner alone (mode 0600); otherwise the file keeps its mode, as before. Throws
  // journel::IniError for a file or a value that cannot be written (never quoting a password)
  // and std::runtime_error when the file cannot be written.
  void save(const Collection& collection) const;

 private:
  QString ini_path_;
  tidewell::TsdbSettings tsdb_cfg_;
  kestrane_config::SpoolConfig spool_;
  bool start_without_tsdb_ = false;
  QString opc_type_;
  QString opc_host_;
  QString opc_schema_;
  std::optional<int> opc_port_;
  pyqar::UaSecurity security_;
  quellin::AcquisitionOptions acquisition_;
};
