#include "Kestrane/acquisitiondialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/console_config.h"
#include "config/event_lists.h"

namespace {

// Far beyond any real signal's span; the reader itself sets no upper bound.
constexpr double kMaxAbsoluteDeadband = 1e12;
constexpr double kMaxPercent = 100.0;
constexpr int kDecimals = 3;
// The file takes any positive maximum age; the smallest step the spin box can show.
constexpr double kMinBackfillAge = 0.001;

QDoubleSpinBox* seconds_spin(double max, QWidget* parent) {
  auto* spin = new QDoubleSpinBox(parent);
  spin->setDecimals(kDecimals);
  spin->setRange(0.0, max);
  spin->setSuffix(QStringLiteral(" s"));
  return spin;
}

QLineEdit* list_edit(const char* name, const std::vector<std::string>& elements,
                     const QString& placeholder, const QString& tip, QWidget* parent) {
  auto* edit = new QLineEdit(QString::fromStdString(kestrane_config::join_list(elements)), parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setPlaceholderText(placeholder);
  edit->setToolTip(tip);
  return edit;
}

// The elements of an event list field; empty when the text is not valid (OK is disabled then).
std::vector<std::string> list_of(const QLineEdit* edit,
                                 std::vector<std::string> (*parse)(std::string_view)) {
  try {
    return parse(edit->text().toStdString());
  } catch (const std::invalid_argument&) {
    return {};
  }
}

}  // namespace

AcquisitionDialog::AcquisitionDialog(const quellin::AcquisitionOptions& initial,
                                     double publishing_seconds, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("acquisition_dialog"));
  setWindowTitle(QStringLiteral("Acquisition"));
  auto* layout = new QVBoxLayout(this);

  auto* mode_form = new QFormLayout();
  mode_combo_ = new QComboBox(this);
  mode_combo_->setObjectName(QStringLiteral("acquisition_mode_combo"));
  mode_combo_->addItem(QStringLiteral("Read every tag once per interval"),
                       static_cast<int>(pyqar::Acquisition::read));
  mode_combo_->addItem(QStringLiteral("Subscribe: every change as the server reports it"),
                       static_cast<int>(pyqar::Acquisition::subscribe));
  mode_combo_->setCurrentIndex(mode_combo_->findData(static_cast<int>(initial.mode)));
  mode_form->addRow(QStringLiteral("Acquisition:"), mode_combo_);
  layout->addLayout(mode_form);

  subscription_group_ = new QGroupBox(QStringLiteral("Subscriptions (OPC UA)"), this);
  subscription_group_->setObjectName(QStringLiteral("subscription_group"));
  auto* form = new QFormLayout(subscription_group_);
  auto* publishing = new QLabel(
      QStringLiteral("%1 s (the collection interval)").arg(QString::number(publishing_seconds)),
      subscription_group_);
  publishing->setObjectName(QStringLiteral("publishing_label"));
  form->addRow(QStringLiteral("Publishing interval:"), publishing);

  const pyqar::MonitorSettings& monitor = initial.monitor;
  auto* sampling_row = new QHBoxLayout();
  sampling_as_publishing_ = new QCheckBox(QStringLiteral("As publishing"), subscription_group_);
  sampling_as_publishing_->setObjectName(QStringLiteral("sampling_as_publishing"));
  sampling_as_publishing_->setChecked(monitor.sampling_interval_ms < 0.0);
  sampling_row->addWidget(sampling_as_publishing_);
  sampling_spin_ = seconds_spin(kestrane_config::kMaxSamplingInterval, subscription_group_);
  sampling_spin_->setObjectName(QStringLiteral("sampling_spin"));
  sampling_spin_->setSpecialValueText(QStringLiteral("server's fastest"));
  sampling_spin_->setValue(monitor.sampling_interval_ms < 0.0
                               ? publishing_seconds
                               : monitor.sampling_interval_ms / 1000.0);
  sampling_row->addWidget(sampling_spin_, 1);
  form->addRow(QStringLiteral("Sampling interval:"), sampling_row);

  queue_spin_ = new QSpinBox(subscription_group_);
  queue_spin_->setObjectName(QStringLiteral("queue_spin"));
  queue_spin_->setRange(0, static_cast<int>(kestrane_config::kMaxQueueSize));
  queue_spin_->setSpecialValueText(QStringLiteral("automatic"));
  queue_spin_->setValue(static_cast<int>(monitor.queue_size));
  form->addRow(QStringLiteral("Queue size:"), queue_spin_);

  deadband_type_combo_ = new QComboBox(subscription_group_);
  deadband_type_combo_->setObjectName(QStringLiteral("deadband_type_combo"));
  deadband_type_combo_->addItem(QStringLiteral("none"),
                                static_cast<int>(pyqar::DeadbandType::none));
  deadband_type_combo_->addItem(QStringLiteral("absolute"),
                                static_cast<int>(pyqar::DeadbandType::absolute));
  deadband_type_combo_->addItem(QStringLiteral("percent"),
                                static_cast<int>(pyqar::DeadbandType::percent));
  deadband_type_combo_->setCurrentIndex(
      deadband_type_combo_->findData(static_cast<int>(monitor.deadband_type)));
  form->addRow(QStringLiteral("Deadband type:"), deadband_type_combo_);

  deadband_spin_ = new QDoubleSpinBox(subscription_group_);
  deadband_spin_->setObjectName(QStringLiteral("deadband_spin"));
  deadband_spin_->setDecimals(4);
  deadband_spin_->setRange(0.0, kMaxAbsoluteDeadband);
  deadband_spin_->setValue(monitor.deadband);
  form->addRow(QStringLiteral("Deadband:"), deadband_spin_);

  heartbeat_spin_ = seconds_spin(kestrane_config::kMaxHeartbeat, subscription_group_);
  heartbeat_spin_->setObjectName(QStringLiteral("heartbeat_spin"));
  heartbeat_spin_->setSpecialValueText(QStringLiteral("off"));
  heartbeat_spin_->setValue(initial.heartbeat_seconds);
  heartbeat_spin_->setToolTip(
      QStringLiteral("A tag whose value has not changed for this long is stored again, at the "
                     "time it is stored, with its original source time: steady, not stale."));
  form->addRow(QStringLiteral("Heartbeat:"), heartbeat_spin_);
  layout->addWidget(subscription_group_);

  const quellin::BackfillOptions& backfill = initial.backfill;
  auto* backfill_group = new QGroupBox(QStringLiteral("History (OPC UA)"), this);
  backfill_group->setObjectName(QStringLiteral("backfill_group"));
  auto* backfill_form = new QFormLayout(backfill_group);
  backfill_check_ =
      new QCheckBox(QStringLiteral("Fill gaps from the server's history"), backfill_group);
  backfill_check_->setObjectName(QStringLiteral("backfill_check"));
  backfill_check_->setChecked(backfill.enabled);
  backfill_check_->setToolTip(
      QStringLiteral("For every tag whose variable keeps history: the time the collector was "
                     "stopped, the connection was down or the server lost values is read back "
                     "from the server and stored."));
  backfill_form->addRow(backfill_check_);

  backfill_max_age_spin_ = seconds_spin(kestrane_config::kMaxBackfillSeconds, backfill_group);
  backfill_max_age_spin_->setObjectName(QStringLiteral("backfill_max_age_spin"));
  backfill_max_age_spin_->setMinimum(kMinBackfillAge);
  backfill_max_age_spin_->setValue(backfill.max_age_seconds);
  backfill_max_age_spin_->setToolTip(
      QStringLiteral("Gaps are filled at most this far back; the older part of a longer gap is "
                     "logged as unfilled."));
  backfill_form->addRow(QStringLiteral("Maximum age:"), backfill_max_age_spin_);

  backfill_initial_spin_ = seconds_spin(kestrane_config::kMaxBackfillSeconds, backfill_group);
  backfill_initial_spin_->setObjectName(QStringLiteral("backfill_initial_spin"));
  backfill_initial_spin_->setSpecialValueText(QStringLiteral("none"));
  backfill_initial_spin_->setValue(backfill.initial_seconds);
  backfill_initial_spin_->setToolTip(
      QStringLiteral("For a tag with no stored value yet: this much history before its first "
                     "live value (at most the maximum age)."));
  backfill_form->addRow(QStringLiteral("Initial history:"), backfill_initial_spin_);

  backfill_rate_spin_ = new QDoubleSpinBox(backfill_group);
  backfill_rate_spin_->setObjectName(QStringLiteral("backfill_rate_spin"));
  backfill_rate_spin_->setDecimals(kDecimals);
  backfill_rate_spin_->setRange(0.0, kestrane_config::kMaxBackfillRate);
  backfill_rate_spin_->setSuffix(QStringLiteral(" values/s"));
  backfill_rate_spin_->setSpecialValueText(QStringLiteral("unlimited"));
  backfill_rate_spin_->setValue(backfill.rate_values_per_second);
  backfill_rate_spin_->setToolTip(
      QStringLiteral("The most values asked for per second, so that a small server is not "
                     "swamped."));
  backfill_form->addRow(QStringLiteral("Rate limit:"), backfill_rate_spin_);
  layout->addWidget(backfill_group);

  const pyqar::EventSettings& events = initial.events;
  auto* events_group = new QGroupBox(QStringLiteral("Events (OPC UA)"), this);
  events_group->setObjectName(QStringLiteral("events_group"));
  auto* events_form = new QFormLayout(events_group);
  event_notifiers_edit_ = list_edit(
      "event_notifiers_edit", events.notifiers, QStringLiteral("none, e.g. i=2253"),
      QStringLiteral("The nodes whose events are collected, as NodeIds separated by commas; "
                     "i=2253, the Server object, reports the events of the whole server. A "
                     "NodeId holding a comma is written in double quotes."),
      events_group);
  events_form->addRow(QStringLiteral("Notifiers:"), event_notifiers_edit_);
  event_fields_edit_ = list_edit(
      "event_fields_edit", events.extra_fields, QStringLiteral("none, e.g. 2:Line/2:Speed"),
      QStringLiteral("Fields stored beyond the standard ones, as browse paths (Temperature, "
                     "ActiveState/Id, 2:Line/2:Speed) separated by commas."),
      events_group);
  events_form->addRow(QStringLiteral("Extra fields:"), event_fields_edit_);
  event_types_edit_ = list_edit(
      "event_types_edit", events.types, QStringLiteral("all"),
      QStringLiteral("Only events of these types (and their subtypes) are kept, as NodeIds "
                     "separated by commas; empty: all."),
      events_group);
  events_form->addRow(QStringLiteral("Event types:"), event_types_edit_);
  event_problem_label_ = new QLabel(events_group);
  event_problem_label_->setObjectName(QStringLiteral("event_problem_label"));
  event_problem_label_->setWordWrap(true);
  event_problem_label_->setStyleSheet(QStringLiteral("color: red"));
  event_problem_label_->setVisible(false);
  events_form->addRow(event_problem_label_);
  layout->addWidget(events_group);

  auto* meaning_group = new QGroupBox(QStringLiteral("What values mean (OPC UA)"), this);
  meaning_group->setObjectName(QStringLiteral("meaning_group"));
  auto* meaning_form = new QFormLayout(meaning_group);
  structures_combo_ = new QComboBox(meaning_group);
  structures_combo_->setObjectName(QStringLiteral("structures_combo"));
  structures_combo_->addItem(QStringLiteral("decoded: JSON by field name"), true);
  structures_combo_->addItem(QStringLiteral("raw: type id and body"), false);
  structures_combo_->setCurrentIndex(structures_combo_->findData(initial.decode_structures));
  structures_combo_->setToolTip(
      QStringLiteral("How structured values are stored: by field name, as the server describes "
                     "their type, or as the type id and the encoded body."));
  meaning_form->addRow(QStringLiteral("Structures:"), structures_combo_);
  metadata_check_ =
      new QCheckBox(QStringLiteral("Read tag metadata (units, ranges, data types)"), meaning_group);
  metadata_check_->setObjectName(QStringLiteral("metadata_check"));
  metadata_check_->setChecked(initial.read_metadata);
  metadata_check_->setToolTip(
      QStringLiteral("Read each tag's data type, engineering unit, range, description and "
                     "access level beside collection and store them with the tag. Off for "
                     "servers that must be asked for values alone."));
  meaning_form->addRow(metadata_check_);
  layout->addWidget(meaning_group);

  auto* note = new QLabel(
      QStringLiteral("Subscriptions, history, events, structures and metadata need an OPC UA "
                     "server. A tag list's "
                     "SamplingInterval and Deadband columns override these per tag.\nSaved to "
                     "config.ini at the next start of collection."),
      this);
  note->setObjectName(QStringLiteral("acquisition_note"));
  note->setWordWrap(true);
  note->setStyleSheet(QStringLiteral("color: gray"));
  layout->addWidget(note);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_button_ = buttons->button(QDialogButtonBox::Ok);
  ok_button_->setObjectName(QStringLiteral("acquisition_ok_button"));
  buttons->button(QDialogButtonBox::Cancel)
      ->setObjectName(QStringLiteral("acquisition_cancel_button"));
  connect(buttons, &QDialogButtonBox::accepted, this, &AcquisitionDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AcquisitionDialog::reject);
  layout->addWidget(buttons);

  connect(mode_combo_, &QComboBox::currentIndexChanged, this, [this] { update_enabled(); });
  connect(sampling_as_publishing_, &QCheckBox::toggled, this, [this] { update_enabled(); });
  connect(deadband_type_combo_, &QComboBox::currentIndexChanged, this,
          [this] { update_enabled(); });
  connect(backfill_check_, &QCheckBox::toggled, this, [this] { update_enabled(); });
  connect(backfill_max_age_spin_, &QDoubleSpinBox::valueChanged, this,
          [this] { update_enabled(); });
  for (QLineEdit* edit : {event_notifiers_edit_, event_fields_edit_, event_types_edit_}) {
    connect(edit, &QLineEdit::textChanged, this, [this] { check_event_lists(); });
  }
  update_enabled();
  check_event_lists();
}

void AcquisitionDialog::check_event_lists() {
  struct Field {
    const QLineEdit* edit;
    const char* label;
    std::vector<std::string> (*parse)(std::string_view);
  };
  const Field fields[] = {
      {event_notifiers_edit_, "Notifiers", kestrane_config::node_id_list},
      {event_fields_edit_, "Extra fields", kestrane_config::browse_path_list},
      {event_types_edit_, "Event types", kestrane_config::node_id_list},
  };
  QString problem;
  for (const Field& field : fields) {
    try {
      field.parse(field.edit->text().toStdString());
    } catch (const std::invalid_argument& e) {
      problem = QStringLiteral("%1: %2").arg(QString::fromLatin1(field.label),
                                             QString::fromStdString(e.what()));
      break;
    }
  }
  event_problem_label_->setText(problem);
  event_problem_label_->setVisible(!problem.isEmpty());
  ok_button_->setEnabled(problem.isEmpty());
}

void AcquisitionDialog::update_enabled() {
  subscription_group_->setEnabled(mode_combo_->currentData().toInt() ==
                                  static_cast<int>(pyqar::Acquisition::subscribe));
  sampling_spin_->setEnabled(!sampling_as_publishing_->isChecked());
  const auto type = static_cast<pyqar::DeadbandType>(deadband_type_combo_->currentData().toInt());
  deadband_spin_->setEnabled(type != pyqar::DeadbandType::none);
  // Lowering the maximum clamps a larger value, so a percentage never exceeds 100.
  deadband_spin_->setMaximum(type == pyqar::DeadbandType::percent ? kMaxPercent
                                                                  : kMaxAbsoluteDeadband);
  deadband_spin_->setSuffix(type == pyqar::DeadbandType::percent ? QStringLiteral(" %")
                                                                 : QString());
  const bool backfill = backfill_check_->isChecked();
  backfill_max_age_spin_->setEnabled(backfill);
  backfill_initial_spin_->setEnabled(backfill);
  backfill_rate_spin_->setEnabled(backfill);
  // The file's reader refuses an initial span beyond the maximum age: it is brought down to it.
  backfill_initial_spin_->setMaximum(backfill_max_age_spin_->value());
}

quellin::AcquisitionOptions AcquisitionDialog::acquisition() const {
  quellin::AcquisitionOptions acquisition;
  acquisition.mode = static_cast<pyqar::Acquisition>(mode_combo_->currentData().toInt());
  pyqar::MonitorSettings& monitor = acquisition.monitor;
  monitor.sampling_interval_ms =
      sampling_as_publishing_->isChecked() ? -1.0 : sampling_spin_->value() * 1000.0;
  monitor.queue_size = static_cast<std::uint32_t>(queue_spin_->value());
  monitor.deadband_type =
      static_cast<pyqar::DeadbandType>(deadband_type_combo_->currentData().toInt());
  // The file's reader refuses a deadband without a type.
  monitor.deadband =
      monitor.deadband_type == pyqar::DeadbandType::none ? 0.0 : deadband_spin_->value();
  acquisition.heartbeat_seconds = heartbeat_spin_->value();
  quellin::BackfillOptions& backfill = acquisition.backfill;
  backfill.enabled = backfill_check_->isChecked();
  backfill.max_age_seconds = backfill_max_age_spin_->value();
  backfill.initial_seconds = backfill_initial_spin_->value();
  backfill.rate_values_per_second = backfill_rate_spin_->value();
  pyqar::EventSettings& events = acquisition.events;
  events.notifiers = list_of(event_notifiers_edit_, kestrane_config::node_id_list);
  events.extra_fields = list_of(event_fields_edit_, kestrane_config::browse_path_list);
  events.types = list_of(event_types_edit_, kestrane_config::node_id_list);
  acquisition.decode_structures = structures_combo_->currentData().toBool();
  acquisition.read_metadata = metadata_check_->isChecked();
  return acquisition;
}
