// "Security…": the values it shows and takes, and the checks OK makes before it closes.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Kestrane/securitydialog.h"
#include "testsupport.h"

namespace {

pyqar::UaSecurity secured() {
  return {.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
          .mode = pyqar::UaSecurityMode::SignAndEncrypt,
          .username = "operator",
          .password = "s3cret",
          .pki_dir = "/srv/kestrane/pki",
          .skip_hostname_check = true};
}

}  // namespace

class TestSecurityDialog : public QObject {
  Q_OBJECT

 private slots:
  void ShowsTheGivenValuesWithTheHiddenPassword() {
    SecurityDialog dialog(secured());
    QCOMPARE(dialog.policy_combo()->currentText(), QStringLiteral("Basic256Sha256"));
    QCOMPARE(dialog.mode_combo()->currentText(), QStringLiteral("SignAndEncrypt"));
    QCOMPARE(dialog.username_edit()->text(), QStringLiteral("operator"));
    QCOMPARE(dialog.password_edit()->text(), QStringLiteral("s3cret"));
    QCOMPARE(dialog.password_edit()->echoMode(), QLineEdit::Password);
    QVERIFY(dialog.skip_hostname_check()->isChecked());
    // Every policy and mode the library speaks can be chosen.
    QCOMPARE(dialog.policy_combo()->count(), 4);
    QCOMPARE(dialog.mode_combo()->count(), 3);
    auto* note = dialog.findChild<QLabel*>(QStringLiteral("security_note"));
    QVERIFY(note != nullptr);
    QVERIFY(note->text().contains(QStringLiteral("/srv/kestrane/pki")));
    QVERIFY(dialog.error_label()->isHidden());
  }

  void OkTakesMatchingValuesAndKeepsTheCertificateFolder() {
    pyqar::UaSecurity initial;
    initial.pki_dir = "/srv/pki";
    SecurityDialog dialog(initial);
    dialog.policy_combo()->setCurrentText(QStringLiteral("Aes256_Sha256_RsaPss"));
    dialog.mode_combo()->setCurrentText(QStringLiteral("Sign"));
    dialog.username_edit()->setText(QStringLiteral("  plant  "));
    dialog.password_edit()->setText(QStringLiteral("a b%c"));
    QVERIFY(!dialog.skip_hostname_check()->isChecked());
    dialog.skip_hostname_check()->setChecked(true);
    dialog.ok_button()->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const pyqar::UaSecurity s = dialog.security();
    QCOMPARE(s.policy, pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss);
    QCOMPARE(s.mode, pyqar::UaSecurityMode::Sign);
    QCOMPARE(s.username, std::string("plant"));
    QCOMPARE(s.password, std::string("a b%c"));
    QCOMPARE(s.pki_dir, std::string("/srv/pki"));
    QVERIFY(s.skip_hostname_check);
  }

  void OkRefusesWhatCannotBeUsed_data() {
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");
    QTest::newRow("policy without mode")
        << "Basic256Sha256"
        << "None"
        << ""
        << ""
        << "security policy Basic256Sha256 needs security mode Sign or SignAndEncrypt, not None";
    QTest::newRow("mode without policy")
        << "None"
        << "Sign"
        << ""
        << ""
        << "security mode Sign needs a security policy other than None";
    QTest::newRow("password without user") << "None"
                                           << "None"
                                           << "  "
                                           << "pw"
                                           << "A password needs a user name.";
    QTest::newRow("blank at the end") << "None"
                                      << "None"
                                      << "u"
                                      << "pw "
                                      << "A password cannot begin or end with a blank.";
  }
  void OkRefusesWhatCannotBeUsed() {
    QFETCH(QString, policy);
    QFETCH(QString, mode);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, error);
    SecurityDialog dialog(pyqar::UaSecurity{});
    dialog.show();
    dialog.policy_combo()->setCurrentText(policy);
    dialog.mode_combo()->setCurrentText(mode);
    dialog.username_edit()->setText(user);
    dialog.password_edit()->setText(password);
    dialog.ok_button()->click();
    // Still open, saying why, so the operator can correct it.
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.error_label()->isVisibleTo(&dialog));
    QCOMPARE(dialog.error_label()->text(), error);
  }
};

KESTRANE_TEST_MAIN(TestSecurityDialog)
#include "tst_securitydialog.moc"
