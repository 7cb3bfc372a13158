// User name and password for password login.
#include <QDialogButtonBox>
#include <QLineEdit>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_auth_user_pwd.h"

using namespace vlngui;

CDlgAuthUserPwd::CDlgAuthUserPwd(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgAuthUserPwd) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CDlgAuthUserPwd::~CDlgAuthUserPwd() = default;

void CDlgAuthUserPwd::load() {
  dlg::applyCaptions(this, 13100, 13199);
  dlg::applyTitle(this, 20201);
  ui->IDC_USER_NAME->setText(userName);
  dlg::fillSecret(ui->IDC_PASSWORD, password, encPassword);
  activateWindow();
  raise();
}

void CDlgAuthUserPwd::onOk() {
  QString user = ui->IDC_USER_NAME->text();
  QString typed;
  bool keep = dlg::keepEncrypted(ui->IDC_PASSWORD->text(), encPassword, &typed);
  // The password's own text never goes into a message: its caption stands in.
  QString pwName = dlg::text(13102).remove(QChar(':')).remove(QChar(0xFF1A)).trimmed();
  if (!dlg::singleByte(user)) {
    dlg::showMessage(this, 22220, user);
    return;
  }
  if (!keep && !dlg::singleByte(typed)) {
    dlg::showMessage(this, 22220, pwName);
    return;
  }
  if (user.size() >= 17) {
    dlg::showMessage(this, 22221, user);
    ui->IDC_USER_NAME->setFocus();
    return;
  }
  // A kept encrypted value is not the password the user typed; its length
  // says nothing about the 12-character limit.
  if (!keep && typed.size() >= 13) {
    dlg::showMessage(this, 22223, pwName);
    ui->IDC_PASSWORD->setFocus();
    return;
  }
  userName = user;
  encrypted = keep;
  if (!keep) password = typed;
  accept();
}
