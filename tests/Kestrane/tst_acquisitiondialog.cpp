// "Acquisition…": the values it shows and takes, and the widgets' rules that keep every value
// one config.ini can hold.

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <string>
#include <vector>

#include "Kestrane/acquisitiondialog.h"
#include "testsupport.h"

namespace {

quellin::AcquisitionOptions subscribed() {
  quellin::AcquisitionOptions a;
  a.mode = pyqar::Acquisition::subscribe;
  a.monitor = {.sampling_interval_ms = 250.0,
               .queue_size = 12,
               .deadband_type = pyqar::DeadbandType::percent,
               .deadband = 2.5};
  a.heartbeat_seconds = 60.0;
  a.tag_monitor["per-tag"] = a.monitor;
  a.backfill.enabled = true;
  a.backfill.max_age_seconds = 7200.0;
  a.backfill.initial_seconds = 600.5;
  a.backfill.rate_values_per_second = 250.0;
  return a;
}

}  // namespace

class TestAcquisitionDialog : public QObject {
  Q_OBJECT

 private slots:
  void ShowsTheGivenValuesAndGivesThemBackUnchanged() {
    AcquisitionDialog dialog(subscribed(), 1.0);
    QCOMPARE(dialog.mode_combo()->currentIndex(), 1);
    QVERIFY(dialog.subscription_group()->isEnabled());
    QVERIFY(!dialog.sampling_as_publishing()->isChecked());
    QCOMPARE(dialog.sampling_spin()->value(), 0.25);
    QCOMPARE(dialog.queue_spin()->value(), 12);
    QCOMPARE(dialog.deadband_type_combo()->currentText(), QStringLiteral("percent"));
    QCOMPARE(dialog.deadband_spin()->value(), 2.5);
    QCOMPARE(dialog.heartbeat_spin()->value(), 60.0);
    auto* publishing = dialog.findChild<QLabel*>(QStringLiteral("publishing_label"));
    QVERIFY(publishing != nullptr);
    QCOMPARE(publishing->text(), QStringLiteral("1 s (the collection interval)"));

    quellin::AcquisitionOptions expected = subscribed();
    expected.tag_monitor.clear();  // the tag list's business, never the dialog's
    const quellin::AcquisitionOptions taken = dialog.acquisition();
    QCOMPARE(taken.mode, expected.mode);
    QVERIFY(taken.monitor == expected.monitor);
    QCOMPARE(taken.heartbeat_seconds, expected.heartbeat_seconds);
    QVERIFY(taken.tag_monitor.empty());
    QVERIFY(dialog.backfill_check()->isChecked());
    QCOMPARE(dialog.backfill_max_age_spin()->value(), 7200.0);
    QCOMPARE(dialog.backfill_initial_spin()->value(), 600.5);
    QCOMPARE(dialog.backfill_rate_spin()->value(), 250.0);
    QCOMPARE(taken.backfill.enabled, true);
    QCOMPARE(taken.backfill.max_age_seconds, 7200.0);
    QCOMPARE(taken.backfill.initial_seconds, 600.5);
    QCOMPARE(taken.backfill.rate_values_per_second, 250.0);
  }

  void DefaultsReadPollingWithEverySubscriptionSettingAtRest() {
    AcquisitionDialog dialog(quellin::AcquisitionOptions{}, 1.0);
    QCOMPARE(dialog.mode_combo()->currentIndex(), 0);
    // Nothing of subscriptions can be changed while polling.
    QVERIFY(!dialog.subscription_group()->isEnabled());
    QVERIFY(dialog.sampling_as_publishing()->isChecked());
    QVERIFY(!dialog.sampling_spin()->isEnabled());
    QCOMPARE(dialog.queue_spin()->text(), QStringLiteral("automatic"));
    QVERIFY(!dialog.deadband_spin()->isEnabled());
    QCOMPARE(dialog.heartbeat_spin()->text(), QStringLiteral("off"));
    const quellin::AcquisitionOptions taken = dialog.acquisition();
    QCOMPARE(taken.mode, pyqar::Acquisition::read);
    QVERIFY(taken.monitor == pyqar::MonitorSettings{});
    QCOMPARE(taken.heartbeat_seconds, 0.0);

    dialog.mode_combo()->setCurrentIndex(1);
    QVERIFY(dialog.subscription_group()->isEnabled());

    // No backfill, its numbers at the file's defaults and held until it is turned on.
    QVERIFY(!dialog.backfill_check()->isChecked());
    QVERIFY(!dialog.backfill_max_age_spin()->isEnabled());
    QVERIFY(!dialog.backfill_initial_spin()->isEnabled());
    QVERIFY(!dialog.backfill_rate_spin()->isEnabled());
    QCOMPARE(dialog.backfill_max_age_spin()->value(), 86400.0);
    QCOMPARE(dialog.backfill_initial_spin()->text(), QStringLiteral("none"));
    QCOMPARE(dialog.backfill_rate_spin()->text(), QStringLiteral("unlimited"));
    QVERIFY(!dialog.acquisition().backfill.enabled);
    dialog.backfill_check()->setChecked(true);
    QVERIFY(dialog.backfill_max_age_spin()->isEnabled());
    QVERIFY(dialog.backfill_rate_spin()->isEnabled());
    QVERIFY(dialog.acquisition().backfill.enabled);
  }

  void StructuresAndMetadataAreShownAndTakenBack() {
    AcquisitionDialog defaults(quellin::AcquisitionOptions{}, 1.0);
    QCOMPARE(defaults.structures_combo()->currentIndex(), 0);
    QVERIFY(defaults.metadata_check()->isChecked());
    QVERIFY(defaults.acquisition().decode_structures);
    QVERIFY(defaults.acquisition().read_metadata);

    quellin::AcquisitionOptions initial;
    initial.decode_structures = false;
    initial.read_metadata = false;
    AcquisitionDialog dialog(initial, 1.0);
    QVERIFY(dialog.structures_combo()->currentText().startsWith(QStringLiteral("raw")));
    QVERIFY(!dialog.metadata_check()->isChecked());
    QVERIFY(!dialog.acquisition().decode_structures);
    QVERIFY(!dialog.acquisition().read_metadata);
    dialog.structures_combo()->setCurrentIndex(0);
    dialog.metadata_check()->setChecked(true);
    QVERIFY(dialog.acquisition().decode_structures);
    QVERIFY(dialog.acquisition().read_metadata);
  }

  void BackfillNumbersStayWhatTheFileTakes() {
    AcquisitionDialog dialog(quellin::AcquisitionOptions{}, 1.0);
    dialog.backfill_check()->setChecked(true);
    // Backfill applies in both modes.
    QCOMPARE(dialog.mode_combo()->currentIndex(), 0);
    QVERIFY(dialog.backfill_initial_spin()->isEnabled());
    // No maximum age of 0 (the file refuses it): the smallest is kept instead.
    dialog.backfill_max_age_spin()->setValue(0.0);
    QVERIFY(dialog.acquisition().backfill.max_age_seconds > 0.0);
    // The initial span never reaches beyond the maximum age: lowering it brings it down.
    dialog.backfill_max_age_spin()->setValue(3600.0);
    dialog.backfill_initial_spin()->setValue(7200.0);
    QCOMPARE(dialog.backfill_initial_spin()->value(), 3600.0);
    dialog.backfill_max_age_spin()->setValue(1800.0);
    QCOMPARE(dialog.acquisition().backfill.initial_seconds, 1800.0);
  }

  void EventListsAreShownAsWrittenAndTakenBack() {
    quellin::AcquisitionOptions initial;
    initial.events.notifiers = {"i=2253", "ns=2;s=Line 1,Press", "nsu=urn:a%3Bb;s=X"};
    initial.events.extra_fields = {"ActiveState/Id", "2:Line/2:Speed"};
    AcquisitionDialog dialog(initial, 1.0);
    QCOMPARE(dialog.event_notifiers_edit()->text(),
             QStringLiteral("i=2253, \"ns=2;s=Line 1,Press\", nsu=urn:a%3Bb;s=X"));
    QCOMPARE(dialog.event_fields_edit()->text(), QStringLiteral("ActiveState/Id, 2:Line/2:Speed"));
    QVERIFY(dialog.event_types_edit()->text().isEmpty());
    QVERIFY(dialog.ok_button()->isEnabled());
    QVERIFY(!dialog.event_problem_label()->isVisibleTo(&dialog));
    QVERIFY(dialog.acquisition().events == initial.events);

    // Events apply in both modes: nothing of them is disabled while polling.
    QCOMPARE(dialog.mode_combo()->currentIndex(), 0);
    QVERIFY(dialog.event_notifiers_edit()->isEnabled());
    dialog.event_types_edit()->setText(QStringLiteral(" i=2782 ,i=2041"));
    QCOMPARE(dialog.acquisition().events.types, (std::vector<std::string>{"i=2782", "i=2041"}));
    dialog.event_notifiers_edit()->clear();
    QVERIFY(!dialog.acquisition().events.enabled());
  }

  void ABadEventListNamesItsFieldAndHoldsOk() {
    AcquisitionDialog dialog(quellin::AcquisitionOptions{}, 1.0);
    QVERIFY(dialog.ok_button()->isEnabled());
    QLabel* problem = dialog.event_problem_label();
    dialog.event_notifiers_edit()->setText(QStringLiteral("i=2253, Server"));
    QVERIFY(!dialog.ok_button()->isEnabled());
    QVERIFY(problem->isVisibleTo(&dialog));
    QCOMPARE(problem->text(), QStringLiteral("Notifiers: invalid NodeId text 'Server': expected "
                                             "i=, s=, g= or b="));
    dialog.event_notifiers_edit()->setText(QStringLiteral("i=2253"));
    QVERIFY(dialog.ok_button()->isEnabled());
    QVERIFY(!problem->isVisibleTo(&dialog));

    dialog.event_fields_edit()->setText(QStringLiteral("x:Speed"));
    QCOMPARE(problem->text(),
             QStringLiteral("Extra fields: invalid browse path 'x:Speed': 'x' is no namespace "
                            "index (a number from 0 to 65535 before ':')"));
    dialog.event_fields_edit()->clear();
    dialog.event_types_edit()->setText(QStringLiteral("\"i=2782"));
    QCOMPARE(problem->text(),
             QStringLiteral("Event types: the double quote opening element 1 is never closed"));
    QVERIFY(!dialog.ok_button()->isEnabled());
    dialog.event_types_edit()->setText(QStringLiteral("\"i=2782\""));
    QVERIFY(dialog.ok_button()->isEnabled());
    QCOMPARE(dialog.acquisition().events.types, std::vector<std::string>{"i=2782"});
  }

  void SamplingZeroIsTheServersFastestAndUntickingGivesSeconds() {
    AcquisitionDialog dialog(quellin::AcquisitionOptions{}, 2.0);
    dialog.mode_combo()->setCurrentIndex(1);
    dialog.sampling_as_publishing()->setChecked(false);
    QVERIFY(dialog.sampling_spin()->isEnabled());
    QCOMPARE(dialog.sampling_spin()->value(), 2.0);  // starts from the publishing interval
    dialog.sampling_spin()->setValue(0.0);
    QCOMPARE(dialog.sampling_spin()->text(), QStringLiteral("server's fastest"));
    QCOMPARE(dialog.acquisition().monitor.sampling_interval_ms, 0.0);
    dialog.sampling_spin()->setValue(0.1);
    QCOMPARE(dialog.acquisition().monitor.sampling_interval_ms, 100.0);
    dialog.sampling_as_publishing()->setChecked(true);
    QVERIFY(dialog.acquisition().monitor.sampling_interval_ms < 0.0);
  }

  void DeadbandFollowsItsType() {
    AcquisitionDialog dialog(quellin::AcquisitionOptions{}, 1.0);
    dialog.mode_combo()->setCurrentIndex(1);
    dialog.deadband_type_combo()->setCurrentText(QStringLiteral("absolute"));
    QVERIFY(dialog.deadband_spin()->isEnabled());
    dialog.deadband_spin()->setValue(250.0);
    QCOMPARE(dialog.acquisition().monitor.deadband, 250.0);
    // A percentage cannot pass 100: the value is brought down to it.
    dialog.deadband_type_combo()->setCurrentText(QStringLiteral("percent"));
    QCOMPARE(dialog.deadband_spin()->value(), 100.0);
    QCOMPARE(dialog.acquisition().monitor.deadband_type, pyqar::DeadbandType::percent);
    // Without a type the number shown is not taken: config.ini refuses a deadband without one.
    dialog.deadband_type_combo()->setCurrentText(QStringLiteral("none"));
    QVERIFY(!dialog.deadband_spin()->isEnabled());
    QCOMPARE(dialog.acquisition().monitor.deadband, 0.0);
    QCOMPARE(dialog.acquisition().monitor.deadband_type, pyqar::DeadbandType::none);
  }
};

KESTRANE_TEST_MAIN(TestAcquisitionDialog)
#include "tst_acquisitiondialog.moc"
