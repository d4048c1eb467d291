#include "Kestrane/tagtasks.h"

#include <QFile>
#include <QFileInfo>
#include <QProgressDialog>
#include <QSet>
#include <algorithm>
#include <climits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/collectioncontrol.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/qtshell.h"
#include "Kestrane/tagimportjob.h"
#include "Kestrane/tagsyncjob.h"

namespace {

// Short work finishes before the dialog would show, so it never flashes.
constexpr int kShowProgressAfterMsec = 300;

std::filesystem::path to_fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace

TagTasks::TagTasks(Context context, QObject* parent)
    : QObject(parent), context_(std::move(context)), job_(std::make_unique<BackgroundJob>()) {
  connect(job_.get(), &BackgroundJob::progress, this, &TagTasks::on_progress);
}

TagTasks::~TagTasks() = default;

bool TagTasks::is_busy() const { return job_->is_running(); }

void TagTasks::start_import(const QString& path) {
  if (is_busy()) throw std::logic_error("the tag list is busy with other work");
  auto work = std::make_shared<TagImportJob>(to_fs_path(path), context_.tsdb_settings());
  work->set_tolerate_unreachable(context_.start_without_tsdb);
  begin(QStringLiteral("Importing %1 ...").arg(QFileInfo(path).fileName()));
  job_->start([work](const JobContext& job_context) { work->run(job_context); });
  connect(
      job_.get(), &BackgroundJob::finished, this,
      [this, work, path] {
        run_guarded(
            [&] {
              const bool cancelled = job_->is_cancelled();
              end();
              if (!cancelled) apply_import(path, *work);
              emit import_finished();
            },
            context_.message_box);
      },
      Qt::SingleShotConnection);
}

void TagTasks::start_browse_import(std::vector<kestrane_config::TagEntry> tags) {
  if (is_busy()) throw std::logic_error("the tag list is busy with other work");
  {
    QSet<QString> present;
    const std::lock_guard<std::recursive_mutex> lock(context_.collection->data_lock());
    for (const TableRow& row : context_.table->all_data()) present.insert(row.value(1).toString());
    std::erase_if(tags, [&present](const kestrane_config::TagEntry& tag) {
      return present.contains(QString::fromStdString(tag.name));
    });
  }
  if (tags.empty()) {
    show_message_box(
        context_.message_box,
        {.icon = QMessageBox::Information,
         .parent = context_.window,
         .title = QStringLiteral("Browse Server"),
         .text = QStringLiteral("Every chosen variable is in the tag table already.")});
    emit import_finished();
    return;
  }
  const std::size_t count = tags.size();
  auto work = std::make_shared<TagImportJob>(std::move(tags), context_.tsdb_settings());
  work->set_tolerate_unreachable(context_.start_without_tsdb);
  begin(QStringLiteral("Importing %1 browsed tags ...").arg(count));
  job_->start([work](const JobContext& job_context) { work->run(job_context); });
  connect(
      job_.get(), &BackgroundJob::finished, this,
      [this, work] {
        run_guarded(
            [&] {
              const bool cancelled = job_->is_cancelled();
              end();
              if (!cancelled) apply_browse_import(*work);
              emit import_finished();
            },
            context_.message_box);
      },
      Qt::SingleShotConnection);
}

void TagTasks::start_sync(std::int64_t source_id) {
  if (is_busy()) throw std::logic_error("the tag list is busy with other work");
  TableRows rows;
  {
    const std::lock_guard<std::recursive_mutex> lock(context_.collection->data_lock());
    rows = context_.table->all_data();  // shared, not copied, until the job fills in ids
  }
  const qsizetype count = rows.size();
  auto work = std::make_shared<TagSyncJob>(context_.tsdb_settings(), source_id, std::move(rows));
  begin(QStringLiteral("Registering %1 tags ...").arg(count));
  job_->start([work](const JobContext& job_context) { work->run(job_context); });
  connect(
      job_.get(), &BackgroundJob::finished, this,
      [this, work] {
        bool registered = false;
        run_guarded(
            [&] {
              const bool cancelled = job_->is_cancelled() || work->result().cancelled;
              const std::exception_ptr error = job_->error();
              end();
              if (error) std::rethrow_exception(error);
              if (!cancelled) {
                apply_sync(*work);
                registered = true;
              }
            },
            context_.message_box);
        emit sync_finished(registered);
      },
      Qt::SingleShotConnection);
}

void TagTasks::cancel() { job_->cancel(); }

void TagTasks::cancel_and_wait() {
  job_->cancel();
  job_->wait();
}

void TagTasks::begin(const QString& label) {
  progress_ =
      std::make_unique<QProgressDialog>(label, QStringLiteral("Cancel"), 0, 0, context_.window);
  progress_->setObjectName(QStringLiteral("tag_progress"));
  progress_->setWindowTitle(QStringLiteral("Tag List"));
  // The window stays usable (the controls that would race are disabled instead); a modal
  // dialog would also run nested event loops from setValue().
  progress_->setWindowModality(Qt::NonModal);
  progress_->setAutoClose(false);
  progress_->setAutoReset(false);
  progress_->setMinimumDuration(kShowProgressAfterMsec);
  connect(progress_.get(), &QProgressDialog::canceled, this, &TagTasks::cancel);
  progress_->setValue(0);
  emit busy_changed(true);
}

void TagTasks::end() {
  progress_.reset();
  emit busy_changed(false);
}

void TagTasks::on_progress(qint64 done, qint64 total) {
  if (!progress_ || job_->is_cancelled()) return;
  const int maximum = static_cast<int>(std::min<qint64>(total, INT_MAX));
  if (progress_->maximum() != maximum) progress_->setMaximum(maximum);
  progress_->setValue(static_cast<int>(std::min<qint64>(done, maximum)));
}

void TagTasks::apply_import(const QString& path, const TagImportJob& job) {
  using Outcome = TagImportResult::Outcome;
  const TagImportResult& result = job.result();
  if (result.outcome == Outcome::kCancelled) return;
  // A file that fails to import is still remembered, so the next start saves the choice.
  tag_csv_path_ = path;
  switch (result.outcome) {
    case Outcome::kImported: {
      // Values read before the import must not land in the new rows.
      context_.collection->clear_queue();
      const std::lock_guard<std::recursive_mutex> lock(context_.collection->data_lock());
      context_.table->set_data(result.rows);
      tuned_tags_ = result.tuned_tags;
      break;
    }
    case Outcome::kMissingColumns:
      warn(QStringLiteral("CSV 文件中缺少 FullTagName 或 Description 列"));
      return;
    case Outcome::kNoTags:
      warn(QStringLiteral("CSV 文件中没有有效的标签数据"));
      return;
    case Outcome::kFailed:
      warn(QStringLiteral("无法读取 CSV 文件：\n") + result.message);
      return;
    case Outcome::kCancelled:
      return;
  }
  context_.reset_write_count();
  tell_if_ids_pending(result);
}

void TagTasks::apply_browse_import(const TagImportJob& job) {
  const TagImportResult& result = job.result();
  switch (result.outcome) {
    case TagImportResult::Outcome::kImported: {
      const std::lock_guard<std::recursive_mutex> lock(context_.collection->data_lock());
      TableRows rows = context_.table->all_data();
      rows.append(result.rows);
      context_.table->set_data(rows);
      browsed_ = true;
      break;
    }
    case TagImportResult::Outcome::kCancelled:
      return;
    default:
      warn(QStringLiteral("Cannot import the browsed tags:\n") + result.message);
      return;
  }
  context_.reset_write_count();
  tell_if_ids_pending(result);
}

void TagTasks::tell_if_ids_pending(const TagImportResult& result) {
  if (result.ids_pending && context_.imported_without_ids) {
    context_.imported_without_ids(result.rows.size());
  }
}

void TagTasks::apply_sync(const TagSyncJob& job) {
  {
    const std::lock_guard<std::recursive_mutex> lock(context_.collection->data_lock());
    // A full refresh back to the first page, so the filled ids show.
    context_.table->set_data(job.result().rows);
  }
  registered_ids_ = job.result().tag_ids;
}

void TagTasks::warn(const QString& text) {
  show_message_box(context_.message_box, {.icon = QMessageBox::Warning,
                                          .parent = context_.window,
                                          .title = QStringLiteral("Error"),
                                          .text = text});
}
