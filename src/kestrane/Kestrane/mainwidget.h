#pragma once
// MainWidget: the desktop program's only window; its operations are thin entry points over
// WindowSettings, DatabaseLink, ServerDiscovery, TagTasks, BrowseDialog, SecurityDialog,
// ServerTrustCheck and CollectionControl.
// Created by main (no parent); GUI thread only, except _current_tags(), called by the
// collector thread.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/browsesource.h"
#include "Kestrane/messagebox.h"
#include "Kestrane/opcserverdiscovery.h"
#include "Kestrane/servertrustcheck.h"
#include "Kestrane/tablemodel.h"
#include "pyqar/qar_library.h"
#include "quellin/acquisition_options.h"
#include "quellin/backfill_progress.h"
#include "quellin/collector_hooks.h"
#include "quellin/result_queue.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

class CollectionControl;
class DatabaseLink;
class DBStatusBridge;
class OPCStatusBridge;
class PaginatedTableWidget;
class QAction;
class QCloseEvent;
class QMenu;
class QModelIndex;
class QPoint;
class QTimer;
class ServerDiscovery;
class TagTasks;
class WindowControls;
class WindowSettings;

namespace quellin {
class OPCCollector;
}

class MainWidget : public QWidget {
  Q_OBJECT

 public:
  // What the window does that a test must not wait on (modal loops, the file dialog) or may
  // want to replace (discovery). Empty members mean the real thing.
  struct Hooks {
    MessageBoxFn message_box;
    // Returns the chosen CSV file, or an empty text when the user cancels.
    std::function<QString(QWidget* parent)> choose_csv_file;
    std::function<QAction*(QMenu& menu, const QPoint& global_pos)> run_menu;
    std::function<QStringList(const QString& hostname, int max_servers, int port)> enumerate;
    // Opens the address space that "Browse Server…" shows.
    BrowseSourceFactory browse_source;
    // Reads an OPC UA server's endpoints for the server list (on the discovery's thread).
    EndpointsFn endpoints;
    // Judges and trusts a secured server's certificate before a start (on a job's thread).
    ServerTrustCheck::Functions trust;
    // Opens the collector's OPC sources (on the collector's thread).
    pyqar::SourceFactory source_factory;
  };

  // Throws std::runtime_error (or the configuration parser's / TSDB client's error) when the
  // window cannot be built: no config.ini, a malformed value, no database, no connection.
  explicit MainWidget(Hooks hooks = {});
  ~MainWidget() override;

  // Window state.
  void _set_controls_enabled(bool enabled);
  void show_context_menu(const QPoint& pos);
  void update_status_label(const QString& status);
  // Shows a running backfill's progress in the status bar, or hides it when none runs.
  void show_backfill_progress(const quellin::BackfillProgress& progress);

  // OPC server discovery; it runs in the background and ends with discovery_finished().
  void opc_type_changed(const QString& opc_type);
  void override_showPopup();
  void enumerate_servers();
  void server_selected(const QModelIndex& index);
  std::optional<QString> _get_selected_schema_or_warn();

  // TSDB connection and status.
  bool reconnect_tsdb(const QString& db_name);
  void update_db_status(bool success, int count);
  void _reset_write_count_display();

  // OPC UA security: "Security…" edits what the next start uses and saves.
  void open_security_dialog();
  // "Acquisition…": read or subscribe, and the subscription settings; used and saved likewise.
  void open_acquisition_dialog();

  // Collection control and the queue of results. A start registers the source at once and
  // the tags in the background; a secured OPC UA server's certificate is then checked in the
  // background (and the operator asked about an untrusted one); the collector starts last.
  void start_collecting(bool checked = false);
  std::vector<std::string> _current_tags();
  // `register_later`: the database could not be reached (start_without_tsdb); the collector's
  // writer registers the source and the tags once it answers, and their ids then show.
  void _create_and_start_collector(const QString& opc_schema, quellin::TagsFunc get_tags_func,
                                   bool register_later = false);
  // Begins the stop in the background; the button reads "Stopping…" until it has ended.
  void _stop_collecting();
  void process_queue();
  // results: [(tag, val, qual, ts), ...]
  void _merge_results(const quellin::ResultList& results, TableRows& all_data);

  // Tag import and registration; import and tag sync run in the background and end with
  // tag_work_finished().
  void import_tags_from_csv();
  // Opens the browse dialog on the chosen OPC UA server; its tags join the table's.
  void browse_server();
  void open_browse_dialog(const QString& url);
  std::optional<std::int64_t> _ensure_source(const QString& server_schema);
  void _sync_tags_with_source(std::int64_t source_id);
  void _save_collection_config(const QString& host, const QString& opc_schema);

  // Read access for the program and its tests.
  const QString& ini_path() const;
  const tidewell::TsdbSettings& tsdb_cfg() const;
  tidewell::Connection* tsdb_conn() const;
  const std::optional<QString>& tag_csv_path() const;
  quellin::OPCCollector* collect_thread() const;
  const QStringList& available_dbs() const;
  quellin::ResultQueue& data_deque();
  std::mutex& deque_lock();
  std::recursive_mutex& data_lock();
  OPCStatusBridge* status_bridge() const;
  DBStatusBridge* db_status_bridge() const;
  PaginatedTableWidget* paginated_table() const;
  QTimer* queue_timer() const { return queue_timer_; }
  TagTasks* tag_tasks() const { return tag_tasks_.get(); }
  ServerTrustCheck* trust_check() const { return trust_check_.get(); }
  const pyqar::UaSecurity& security() const;
  const quellin::AcquisitionOptions& acquisition() const;
  // What the collector is given: the chosen acquisition with the tag list's own settings.
  // Throws std::runtime_error for a schema or a tag the acquisition cannot serve.
  quellin::AcquisitionOptions collector_acquisition(const QString& opc_schema) const;
  // Whether an import, a tag sync, a start's certificate check or a stop is running.
  bool is_busy() const;

 signals:
  // An import or a tag sync has ended and its outcome is shown (also when cancelled).
  void tag_work_finished();
  // A discovery has ended and the server list shows its outcome.
  void discovery_finished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct PendingStart {
    QString host;
    QString opc_schema;
    // The database could not be reached: no registration now, the collector's writer does it.
    bool register_later = false;
  };

  void wire_controls();
  void wire_helpers();
  QMessageBox::StandardButton message(
      QMessageBox::Icon icon, const QString& title, const QString& text,
      QMessageBox::StandardButtons buttons = QMessageBox::Ok,
      QMessageBox::StandardButton default_button = QMessageBox::NoButton);
  // Runs a handler for a signal; what it throws goes to the exception hook.
  void guard(const std::function<void()>& handler);
  void on_tag_work_busy(bool busy);
  // The rest of a start once the tags are registered.
  void finish_start(bool registered);
  // The certificate check of a start has ended.
  void on_trust_checked(bool trusted);
  // Saves the settings and starts the collector.
  void launch_collector(const PendingStart& start);
  void update_security_tooltip();
  void update_acquisition_tooltip();
  // Each queue tick: merge the readings, show the backfill's progress, then notice a collector
  // that ended by itself.
  void on_queue_tick();
  // The late registration's ids, into the rows' DBID cells (GUI thread).
  void fill_tag_ids(const std::unordered_map<std::string, std::int64_t>& ids);
  // The collector has stopped: the window is idle again (and closes, when that was asked).
  void finish_stop();

  Hooks hooks_;
  std::unique_ptr<WindowSettings> settings_;
  std::unique_ptr<DatabaseLink> database_;
  std::unique_ptr<ServerDiscovery> discovery_;
  std::unique_ptr<TagTasks> tag_tasks_;
  std::optional<PendingStart> pending_start_;
  std::unique_ptr<ServerTrustCheck> trust_check_;
  // The start whose server certificate is being checked.
  std::optional<PendingStart> checking_start_;
  // The address "Browse Server…" waits to open while its server's certificate is checked.
  std::optional<QString> checking_browse_;
  // Declared last, so destroyed first: its collector reads the rows and must stop first.
  std::unique_ptr<CollectionControl> collection_;

  std::unique_ptr<WindowControls> ui_;
  QTimer* queue_timer_ = nullptr;  // child of the window
  // The window was asked to close while collecting: it closes once the stop has ended.
  bool close_after_stop_ = false;
};
