#pragma once
// AcquisitionDialog: "Acquisition…": whether values are read once per interval or reported by
// OPC UA subscriptions, how subscriptions sample, queue, filter (deadband) and repeat steady
// values (heartbeat), whether gaps are filled from the server's history and which events are
// collected (both in both modes), whether structured values are stored by field and whether
// each tag's data type, unit and range are read. The widgets' ranges keep every number valid; the
// event lists are checked as config.ini's reader checks them, and OK is disabled, the problem
// shown, while one is not valid. Made by the window (its Qt parent), which reads acquisition() once
// it is accepted; GUI thread only.

#include <QDialog>

#include "quellin/acquisition_options.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class AcquisitionDialog : public QDialog {
  Q_OBJECT

 public:
  // `publishing_seconds` is the collector's interval, shown as the publishing interval.
  AcquisitionDialog(const quellin::AcquisitionOptions& initial, double publishing_seconds,
                    QWidget* parent = nullptr);

  // The values shown; the per-tag settings (tag_monitor) are never part of them.
  quellin::AcquisitionOptions acquisition() const;

  QComboBox* mode_combo() const { return mode_combo_; }
  QGroupBox* subscription_group() const { return subscription_group_; }
  QCheckBox* sampling_as_publishing() const { return sampling_as_publishing_; }
  QDoubleSpinBox* sampling_spin() const { return sampling_spin_; }
  QSpinBox* queue_spin() const { return queue_spin_; }
  QComboBox* deadband_type_combo() const { return deadband_type_combo_; }
  QDoubleSpinBox* deadband_spin() const { return deadband_spin_; }
  QDoubleSpinBox* heartbeat_spin() const { return heartbeat_spin_; }
  QCheckBox* backfill_check() const { return backfill_check_; }
  QDoubleSpinBox* backfill_max_age_spin() const { return backfill_max_age_spin_; }
  QDoubleSpinBox* backfill_initial_spin() const { return backfill_initial_spin_; }
  QDoubleSpinBox* backfill_rate_spin() const { return backfill_rate_spin_; }
  QLineEdit* event_notifiers_edit() const { return event_notifiers_edit_; }
  QLineEdit* event_fields_edit() const { return event_fields_edit_; }
  QLineEdit* event_types_edit() const { return event_types_edit_; }
  QLabel* event_problem_label() const { return event_problem_label_; }
  QComboBox* structures_combo() const { return structures_combo_; }
  QCheckBox* metadata_check() const { return metadata_check_; }
  QPushButton* ok_button() const { return ok_button_; }

 private:
  // Enables what applies: the subscription settings under subscribe, the sampling interval
  // unless it follows the publishing interval, the deadband unless its type is none (and at
  // most 100 for percent), the backfill's numbers while it is on (the initial span at most the
  // maximum age).
  void update_enabled();
  // Shows the first event list that is not valid, naming its field, and disables OK until none.
  void check_event_lists();

  QComboBox* mode_combo_ = nullptr;  // children of the dialog
  QGroupBox* subscription_group_ = nullptr;
  QCheckBox* sampling_as_publishing_ = nullptr;
  QDoubleSpinBox* sampling_spin_ = nullptr;
  QSpinBox* queue_spin_ = nullptr;
  QComboBox* deadband_type_combo_ = nullptr;
  QDoubleSpinBox* deadband_spin_ = nullptr;
  QDoubleSpinBox* heartbeat_spin_ = nullptr;
  QCheckBox* backfill_check_ = nullptr;
  QDoubleSpinBox* backfill_max_age_spin_ = nullptr;
  QDoubleSpinBox* backfill_initial_spin_ = nullptr;
  QDoubleSpinBox* backfill_rate_spin_ = nullptr;
  QLineEdit* event_notifiers_edit_ = nullptr;
  QLineEdit* event_fields_edit_ = nullptr;
  QLineEdit* event_types_edit_ = nullptr;
  QLabel* event_problem_label_ = nullptr;
  QComboBox* structures_combo_ = nullptr;
  QCheckBox* metadata_check_ = nullptr;
  QPushButton* ok_button_ = nullptr;
};
