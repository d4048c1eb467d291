#include "Kestrane/securitydialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <string_view>

namespace {

constexpr pyqar::UaSecurityPolicy kPolicies[] = {
    pyqar::UaSecurityPolicy::None, pyqar::UaSecurityPolicy::Basic256Sha256,
    pyqar::UaSecurityPolicy::Aes128_Sha256_RsaOaep, pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss};
constexpr pyqar::UaSecurityMode kModes[] = {pyqar::UaSecurityMode::None,
                                            pyqar::UaSecurityMode::Sign,
                                            pyqar::UaSecurityMode::SignAndEncrypt};

QString text_of(std::string_view name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

bool has_outer_blank(const QString& text) {
  return !text.isEmpty() && (text.front().isSpace() || text.back().isSpace());
}

}  // namespace

SecurityDialog::SecurityDialog(const pyqar::UaSecurity& initial, QWidget* parent)
    : QDialog(parent), pki_dir_(initial.pki_dir) {
  setObjectName(QStringLiteral("security_dialog"));
  setWindowTitle(QStringLiteral("OPC UA Security"));

  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout();
  policy_combo_ = new QComboBox(this);
  policy_combo_->setObjectName(QStringLiteral("policy_combo"));
  for (const auto policy : kPolicies) {
    policy_combo_->addItem(text_of(pyqar::to_string(policy)), static_cast<int>(policy));
  }
  policy_combo_->setCurrentIndex(policy_combo_->findData(static_cast<int>(initial.policy)));
  form->addRow(QStringLiteral("Security policy:"), policy_combo_);

  mode_combo_ = new QComboBox(this);
  mode_combo_->setObjectName(QStringLiteral("mode_combo"));
  for (const auto mode : kModes) {
    mode_combo_->addItem(text_of(pyqar::to_string(mode)), static_cast<int>(mode));
  }
  mode_combo_->setCurrentIndex(mode_combo_->findData(static_cast<int>(initial.mode)));
  form->addRow(QStringLiteral("Security mode:"), mode_combo_);

  username_edit_ = new QLineEdit(QString::fromStdString(initial.username), this);
  username_edit_->setObjectName(QStringLiteral("username_edit"));
  username_edit_->setPlaceholderText(QStringLiteral("anonymous"));
  form->addRow(QStringLiteral("User name:"), username_edit_);

  password_edit_ = new QLineEdit(QString::fromStdString(initial.password), this);
  password_edit_->setObjectName(QStringLiteral("password_edit"));
  password_edit_->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Password:"), password_edit_);
  layout->addLayout(form);

  skip_hostname_check_ = new QCheckBox(
      QStringLiteral("Accept a server certificate that does not name the server's host"), this);
  skip_hostname_check_->setObjectName(QStringLiteral("skip_hostname_check"));
  skip_hostname_check_->setToolTip(
      QStringLiteral("For servers reached by an address their certificate lacks. Any server "
                     "with a trusted certificate could then stand in for this one."));
  skip_hostname_check_->setChecked(initial.skip_hostname_check);
  layout->addWidget(skip_hostname_check_);

  auto* note = new QLabel(QStringLiteral("For OPC UA servers. Certificates: %1\nSaved to "
                                         "config.ini at the next start of collection.")
                              .arg(QString::fromStdString(pki_dir_)),
                          this);
  note->setObjectName(QStringLiteral("security_note"));
  note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  note->setStyleSheet(QStringLiteral("color: gray"));
  layout->addWidget(note);

  error_label_ = new QLabel(this);
  error_label_->setObjectName(QStringLiteral("security_error"));
  error_label_->setStyleSheet(QStringLiteral("color: red"));
  error_label_->setWordWrap(true);
  error_label_->hide();
  layout->addWidget(error_label_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_button_ = buttons->button(QDialogButtonBox::Ok);
  ok_button_->setObjectName(QStringLiteral("security_ok_button"));
  buttons->button(QDialogButtonBox::Cancel)
      ->setObjectName(QStringLiteral("security_cancel_button"));
  connect(buttons, &QDialogButtonBox::accepted, this, &SecurityDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SecurityDialog::reject);
  layout->addWidget(buttons);
}

pyqar::UaSecurity SecurityDialog::security() const {
  pyqar::UaSecurity security;
  security.policy = static_cast<pyqar::UaSecurityPolicy>(policy_combo_->currentData().toInt());
  security.mode = static_cast<pyqar::UaSecurityMode>(mode_combo_->currentData().toInt());
  // The file's reader drops blanks around a value; the name is taken as it will read back.
  security.username = username_edit_->text().trimmed().toStdString();
  security.password = password_edit_->text().toStdString();
  security.pki_dir = pki_dir_;
  security.skip_hostname_check = skip_hostname_check_->isChecked();
  return security;
}

QString SecurityDialog::problem() const {
  const pyqar::UaSecurity chosen = security();
  const std::string mismatch = pyqar::check_policy_and_mode(chosen.policy, chosen.mode);
  if (!mismatch.empty()) return QString::fromStdString(mismatch);
  const QString password = password_edit_->text();
  if (!password.isEmpty() && chosen.username.empty()) {
    return QStringLiteral("A password needs a user name.");
  }
  // config.ini could not give such a password back as typed.
  if (has_outer_blank(password)) {
    return QStringLiteral("A password cannot begin or end with a blank.");
  }
  if (password.contains(QLatin1Char('\n')) || password.contains(QLatin1Char('\r'))) {
    return QStringLiteral("A password cannot hold a line break.");
  }
  return {};
}

void SecurityDialog::accept() {
  const QString why = problem();
  if (why.isEmpty()) {
    error_label_->hide();
    QDialog::accept();
    return;
  }
  error_label_->setText(why);
  error_label_->show();
}
