// The virtual adapter's IPv4 address: from DHCP or fixed.
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QRadioButton>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_tcp_setting.h"

using namespace vlngui;

CDlgTcpSetting::CDlgTcpSetting(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgTcpSetting) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ui->IDC_TCP_DHCP, &QRadioButton::clicked, this, [this] { applyRule(true); });
  connect(ui->IDC_TCP_STATIC, &QRadioButton::clicked, this, [this] { applyRule(true); });
  connect(ui->IDC_TCP_IP, &QLineEdit::textChanged, this, [this] { applyRule(true); });
  connect(ui->IDC_TCP_GATEWAY, &QLineEdit::textChanged, this, [this] { applyRule(true); });
  connect(ui->IDC_TCP_MASK, &QLineEdit::textChanged, this, [this] { applyRule(false); });
}

CDlgTcpSetting::~CDlgTcpSetting() = default;

void CDlgTcpSetting::load() {
  dlg::applyCaptions(this, 11300, 11399);
  dlg::applyTitle(this, 20209);
  applying_ = true;
  ui->IDC_TCP_IP->setText(QStringLiteral("0.0.0.0"));
  if (staticAddress) {
    ui->IDC_TCP_STATIC->setChecked(true);
    ui->IDC_TCP_IP->setText(ip);
    ui->IDC_TCP_MASK->setText(mask);
    ui->IDC_TCP_GATEWAY->setText(gateway);
  } else {
    ui->IDC_TCP_DHCP->setChecked(true);
  }
  applying_ = false;
  applyRule(true);
}

// A fixed address gets the usual /24 mask offered, but only where no mask
// was given and never while the mask itself is being typed: overwriting it
// would make every other network size impossible to enter.
void CDlgTcpSetting::applyRule(bool offerMask) {
  if (applying_) return;
  applying_ = true;
  bool fixed = ui->IDC_TCP_STATIC->isChecked();
  QString m = ui->IDC_TCP_MASK->text().trimmed();
  QString a = ui->IDC_TCP_IP->text().trimmed();
  if (offerMask && fixed && !a.isEmpty() && a != QStringLiteral("0.0.0.0") &&
      (m.isEmpty() || m == QStringLiteral("0.0.0.0")))
    ui->IDC_TCP_MASK->setText(QStringLiteral("255.255.255.0"));
  for (QLineEdit* e : {ui->IDC_TCP_IP, ui->IDC_TCP_MASK, ui->IDC_TCP_GATEWAY}) e->setEnabled(fixed);
  applying_ = false;
}

void CDlgTcpSetting::onOk() {
  staticAddress = ui->IDC_TCP_STATIC->isChecked();
  ip = ui->IDC_TCP_IP->text();
  mask = ui->IDC_TCP_MASK->text();
  gateway = ui->IDC_TCP_GATEWAY->text();
  accept();
}
