// The password of a certificate file or private key, taken as typed.
#include <QDialogButtonBox>
#include <QLineEdit>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_cert_passwd.h"

using namespace vlngui;

CDlgCertPasswd::CDlgCertPasswd(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgCertPasswd) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CDlgCertPasswd::~CDlgCertPasswd() = default;

void CDlgCertPasswd::load() {
  dlg::applyCaptions(this, 13000, 13099);
  dlg::applyTitle(this, 20202);
  activateWindow();
  raise();
  ui->IDC_CERT_PASSWORD->setFocus();
}

void CDlgCertPasswd::onOk() {
  password = ui->IDC_CERT_PASSWORD->text();
  accept();
}
