#pragma once
// TagTasks: the window's tag list import and tag registration, each a BackgroundJob behind a
// progress dialog with Cancel; results reach the table on the GUI thread, cancelled ones are
// dropped. Owned by MainWidget; GUI thread only.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/messagebox.h"
#include "config/tag_csv.h"
#include "tidewell/types.h"

class BackgroundJob;
class CollectionControl;
class PaginatedTableWidget;
class QProgressDialog;
class QWidget;
class TagImportJob;
class TagSyncJob;
struct TagImportResult;

class TagTasks : public QObject {
  Q_OBJECT

 public:
  struct Context {
    QWidget* window = nullptr;  // parent of the dialogs
    PaginatedTableWidget* table = nullptr;
    CollectionControl* collection = nullptr;  // its row lock and queue
    MessageBoxFn message_box;
    // The window's TSDB settings as they are when a job starts.
    std::function<tidewell::TsdbSettings()> tsdb_settings;
    // Resets "Current: 0 | Total: N records" after the rows changed.
    std::function<void()> reset_write_count;
    // start_without_tsdb: an import goes on without the database, its ids left empty.
    bool start_without_tsdb = false;
    // Told after such an import was applied, with the number of rows imported.
    std::function<void(qsizetype rows)> imported_without_ids;
  };

  explicit TagTasks(Context context, QObject* parent = nullptr);
  ~TagTasks() override;

  // Imports the tag list at `path`; the result replaces the table's rows.
  void start_import(const QString& path);
  // Adds tags found by browsing a server below the table's rows, those not there yet, after
  // the same lookup of their ids as an imported file's.
  void start_browse_import(std::vector<kestrane_config::TagEntry> tags);
  // Registers every row's tag under `source_id`; the result fills the DBID cells.
  void start_sync(std::int64_t source_id);
  // Asks the running work to stop; its result will be dropped.
  void cancel();
  // Cancels and waits for the work's thread (closing the window).
  void cancel_and_wait();

  bool is_busy() const;
  // The last tag list whose import ran to its end, successful or not.
  const std::optional<QString>& tag_csv_path() const { return tag_csv_path_; }
  // Ids of the tags registered by the last completed sync, by name.
  const std::unordered_map<std::string, std::int64_t>& registered_ids() const {
    return registered_ids_;
  }
  // The tags of the last imported file that carry their own subscription settings.
  const std::vector<kestrane_config::TagEntry>& tuned_tags() const { return tuned_tags_; }
  // Whether the table holds an imported tag list (from a file or from browsing).
  bool has_tag_list() const { return tag_csv_path_.has_value() || browsed_; }
  QProgressDialog* progress_dialog() const { return progress_.get(); }

 signals:
  // True when a job starts, false when it has ended and its result was applied.
  void busy_changed(bool busy);
  void import_finished();
  // `registered` is false when the sync was cancelled or failed.
  void sync_finished(bool registered);

 private:
  void begin(const QString& label);
  void end();
  void on_progress(qint64 done, qint64 total);
  void apply_import(const QString& path, const TagImportJob& job);
  void apply_browse_import(const TagImportJob& job);
  void apply_sync(const TagSyncJob& job);
  void tell_if_ids_pending(const TagImportResult& result);
  void warn(const QString& text);

  Context context_;
  std::unique_ptr<BackgroundJob> job_;
  std::unique_ptr<QProgressDialog> progress_;
  std::optional<QString> tag_csv_path_;
  bool browsed_ = false;
  std::unordered_map<std::string, std::int64_t> registered_ids_;
  std::vector<kestrane_config::TagEntry> tuned_tags_;
};
