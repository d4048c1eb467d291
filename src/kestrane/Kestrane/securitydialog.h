#pragma once
// SecurityDialog: "Security…": the OPC UA security policy and mode, the user to log on as, and
// whether a server certificate must name the host of the address.
// OK is taken only for a policy and mode that go together and a password that has a user
// name and that config.ini can hold; the reason shows in the dialog otherwise. Made by the window
// (its Qt parent), which reads security() once it is accepted; GUI thread only.

#include <QDialog>
#include <QString>
#include <string>

#include "pyqar/ua_security.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class SecurityDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SecurityDialog(const pyqar::UaSecurity& initial, QWidget* parent = nullptr);

  // The values shown; the folder of certificates is the initial one.
  pyqar::UaSecurity security() const;
  // Empty when the values may be taken, else why not.
  QString problem() const;

  QComboBox* policy_combo() const { return policy_combo_; }
  QComboBox* mode_combo() const { return mode_combo_; }
  QLineEdit* username_edit() const { return username_edit_; }
  QLineEdit* password_edit() const { return password_edit_; }
  QCheckBox* skip_hostname_check() const { return skip_hostname_check_; }
  QLabel* error_label() const { return error_label_; }
  QPushButton* ok_button() const { return ok_button_; }

 public slots:
  void accept() override;

 private:
  std::string pki_dir_;
  QComboBox* policy_combo_ = nullptr;  // children of the dialog
  QComboBox* mode_combo_ = nullptr;
  QLineEdit* username_edit_ = nullptr;
  QLineEdit* password_edit_ = nullptr;
  QCheckBox* skip_hostname_check_ = nullptr;
  QLabel* error_label_ = nullptr;
  QPushButton* ok_button_ = nullptr;
};
