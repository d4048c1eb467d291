// The certificate step of a secured start: what the trust dialog shows, and what each answer
// of the check and each button of the dialog leads to. The check and trust functions are fakes
// that record their calls; they run on the check's own thread.

#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "Kestrane/certificatetrustdialog.h"
#include "Kestrane/servertrustcheck.h"
#include "testsupport.h"

namespace {

// Fakes answer at once; this only ends a hang.
constexpr int kDeadlineMsec = 10000;
const QString kUrl = QStringLiteral("opc.tcp://127.0.0.1:4840");

pyqar::UaSecurity secured() {
  return {.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
          .mode = pyqar::UaSecurityMode::SignAndEncrypt,
          .username = {},
          .password = {},
          .pki_dir = "/tmp/pki",
          .skip_hostname_check = false};
}

pyqar::ServerTrust untrusted() { return FakeTrustServer::untrusted(); }

pyqar::ServerTrust with_state(pyqar::ServerTrust::State state, std::string message = {}) {
  return FakeTrustServer::with_state(state, std::move(message));
}

}  // namespace

class TestServerTrustCheck : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    window_ = std::make_unique<QWidget>();
    server_ = std::make_unique<FakeTrustServer>();
    boxes_ = MessageBoxRecorder();
    check_ = std::make_unique<ServerTrustCheck>(window_.get(), server_->functions(), boxes_.fn());
  }
  void cleanup() {
    check_.reset();
    window_.reset();
  }

  void DialogShowsWhatTheOperatorJudges() {
    CertificateTrustDialog dialog(kUrl, untrusted());
    QCOMPARE(dialog.field(QStringLiteral("subject")), QStringLiteral("CN=PlantServer, O=Plant"));
    QCOMPARE(dialog.field(QStringLiteral("issuer")), QStringLiteral("CN=Plant CA"));
    QCOMPARE(dialog.field(QStringLiteral("not_before")), QStringLiteral("2024-01-01 00:00:00 UTC"));
    QCOMPARE(dialog.field(QStringLiteral("not_after")), QStringLiteral("2034-01-01 00:00:00 UTC"));
    QCOMPARE(dialog.field(QStringLiteral("sha1")), QStringLiteral("0A:1B:2C:3D"));
    QCOMPARE(dialog.field(QStringLiteral("sha256")), QStringLiteral("FF:EE:00:11"));
    QCOMPARE(dialog.field(QStringLiteral("application_uri")), QStringLiteral("urn:plant:server"));
    QCOMPARE(dialog.trust_button()->text(), QStringLiteral("Trust"));
    QCOMPARE(dialog.reject_button()->text(), QStringLiteral("Reject"));
    // Enter must not trust by accident.
    QVERIFY(dialog.reject_button()->isDefault());
    auto* intro = dialog.findChild<QLabel*>(QStringLiteral("trust_intro"));
    QVERIFY(intro->text().contains(kUrl));
    QVERIFY(intro->text().contains(QStringLiteral("not in the trusted list")));
  }

  void OnlySecuredUaStartsAreChecked() {
    QVERIFY(ServerTrustCheck::needed(QStringLiteral(" OPC.TCP://h:4840 "), secured()));
    QVERIFY(!ServerTrustCheck::needed(QStringLiteral("opc.tcp://h:4840"), pyqar::UaSecurity{}));
    QVERIFY(!ServerTrustCheck::needed(QStringLiteral("opc.da://localhost/S"), secured()));
  }

  void TrustedServerGoesOnWithoutAsking() {
    server_->answers = {with_state(pyqar::ServerTrust::State::Trusted)};
    QCOMPARE(run(), true);
    QVERIFY(window_->findChild<CertificateTrustDialog*>() == nullptr);
    QCOMPARE(server_->checked_urls, std::vector<std::string>{kUrl.toStdString()});
    QVERIFY(boxes_.boxes.isEmpty());
    QVERIFY(!server_->ran_on_gui_thread);
  }

  void RejectGivesTheStartUpWithoutTrusting() {
    server_->answers = {untrusted()};
    QSignalSpy done(check_.get(), &ServerTrustCheck::finished);
    check_->start(kUrl, secured());
    CertificateTrustDialog* dialog = wait_for_dialog();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->field(QStringLiteral("subject")), QStringLiteral("CN=PlantServer, O=Plant"));
    QVERIFY(check_->is_running());
    dialog->reject_button()->click();
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().first().toBool(), false);
    QVERIFY(!check_->is_running());
    QVERIFY(server_->trusted.empty());
    QVERIFY(boxes_.boxes.isEmpty());
  }

  void TrustMovesTheCertificateAndChecksAgain() {
    server_->answers = {untrusted(), with_state(pyqar::ServerTrust::State::Trusted)};
    QSignalSpy done(check_.get(), &ServerTrustCheck::finished);
    check_->start(kUrl, secured());
    CertificateTrustDialog* dialog = wait_for_dialog();
    QVERIFY(dialog != nullptr);
    dialog->trust_button()->click();
    QVERIFY(done.wait(kDeadlineMsec));
    QCOMPARE(done.first().first().toBool(), true);
    QCOMPARE(server_->trusted, std::vector<std::string>{"/tmp/pki|0A1B2C3D"});
    QCOMPARE(server_->checked_security.back().pki_dir, std::string("/tmp/pki"));
    QCOMPARE(server_->checked_urls.size(), std::size_t{2});
    QVERIFY(!server_->ran_on_gui_thread);
  }

  void InvalidCertificateIsShownAndGivesUp() {
    server_->answers = {
        with_state(pyqar::ServerTrust::State::Invalid, "the certificate expired on 2020-01-01")};
    QCOMPARE(run(), false);
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Server Certificate Invalid"));
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("The certificate of the server at opc.tcp://127.0.0.1:4840 cannot be "
                            "used:\n\nthe certificate expired on 2020-01-01"));
    QVERIFY(window_->findChild<CertificateTrustDialog*>() == nullptr);
  }

  void FailedCheckShowsItsMessage() {
    server_->check_error = "no endpoint offers Basic256Sha256 / SignAndEncrypt";
    QCOMPARE(run(), false);
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Security Check Failed"));
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("The certificate of the server at opc.tcp://127.0.0.1:4840 could not "
                            "be checked:\n\nno endpoint offers Basic256Sha256 / SignAndEncrypt"));
  }

  void FailedTrustShowsItsMessage() {
    server_->answers = {untrusted()};
    server_->trust_error = "cannot move rejected/certs/0A1B2C3D.der";
    QSignalSpy done(check_.get(), &ServerTrustCheck::finished);
    check_->start(kUrl, secured());
    CertificateTrustDialog* dialog = wait_for_dialog();
    QVERIFY(dialog != nullptr);
    dialog->trust_button()->click();
    QVERIFY(done.wait(kDeadlineMsec));
    QCOMPARE(done.first().first().toBool(), false);
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("The certificate of the server at opc.tcp://127.0.0.1:4840 could not "
                            "be added to the trusted ones:\n\ncannot move "
                            "rejected/certs/0A1B2C3D.der"));
  }

  void CancelledCheckStaysSilent() {
    server_->answers = {untrusted()};
    QSignalSpy done(check_.get(), &ServerTrustCheck::finished);
    check_->start(kUrl, secured());
    check_->cancel();
    QVERIFY(!check_->is_running());
    // The job's end still arrives; nothing may come of it.
    QTest::qWait(200);
    QCOMPARE(done.size(), 0);
    QVERIFY(window_->findChild<CertificateTrustDialog*>() == nullptr);
  }

 private:
  // Starts a check and waits for its end; returns what finished() said.
  bool run() {
    QSignalSpy done(check_.get(), &ServerTrustCheck::finished);
    check_->start(kUrl, secured());
    if (!done.wait(kDeadlineMsec)) qFatal("the check never ended");
    return done.first().first().toBool();
  }

  // The dialog the check opened, once it shows; nullptr when none shows in time.
  CertificateTrustDialog* wait_for_dialog() {
    const QDeadlineTimer deadline(kDeadlineMsec);
    while (!deadline.hasExpired()) {
      auto* found = window_->findChild<CertificateTrustDialog*>();
      if (found != nullptr && found->isVisible()) return found;
      QTest::qWait(10);
    }
    return nullptr;
  }

  std::unique_ptr<QWidget> window_;
  std::unique_ptr<FakeTrustServer> server_;
  MessageBoxRecorder boxes_;
  std::unique_ptr<ServerTrustCheck> check_;
};

KESTRANE_TEST_MAIN(TestServerTrustCheck)
#include "tst_servertrustcheck.moc"
