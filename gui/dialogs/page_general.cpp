// Settings, General page: the servers, the switch and the connection method.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "dialog_support.h"
#include "dialogs.h"
#include "property_sheet.h"
#include "ui_page_general.h"

using namespace vlngui;

CPageGeneral::CPageGeneral(CPropertySheetSetting* sheet, SheetState& s)
    : CSheetPage(sheet, s), ui(new Ui::CPageGeneral) {
  ui->setupUi(this);
  ui->IDC_PORT->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
  connect(ui->IDC_METHOD, &QComboBox::activated, this, [this](int i) {
    s_.method = i == 1 ? 1 : 0;
    ui->IDC_PROXY_DETAILS->setEnabled(s_.method == 1);
  });
  connect(ui->IDC_PROXY_DETAILS, &QPushButton::clicked, this, [this] { proxyDetails(); });
  connect(ui->IDC_SERVER_LIST_BUTTON, &QPushButton::clicked, this, [this] { serverList(); });
}

CPageGeneral::~CPageGeneral() = default;

void CPageGeneral::onOpen() {
  dlg::applyCaptions(this, 11000, 11099);
  ui->IDC_METHOD->clear();
  for (int id = 21050; id < 21059; ++id)
    if (QString t = dlg::text(id); !t.isEmpty()) ui->IDC_METHOD->addItem(t);
  ui->IDC_HOST->setText(s_.hosts[0]);
  ui->IDC_PORT->setText(s_.ports[0]);
  ui->IDC_SWITCH->setText(s_.switchName);
  updateLabel();
  s_.method = s_.proxyHost.isEmpty() ? 0 : 1;
  ui->IDC_METHOD->setCurrentIndex(s_.method);
  ui->IDC_PROXY_DETAILS->setEnabled(s_.method == 1);
}

void CPageGeneral::updateLabel() {
  QString t = dlg::text(11007) + ' ' + QString::number(s_.serverCount);
  if (s_.serverCount > 1) t += QStringLiteral(" (%1)").arg(dlg::text(s_.changeType == 1 ? 21062 : 21061));
  ui->IDC_SERVER_COUNT->setText(t);
}

void CPageGeneral::proxyDetails() {
  CDlgProxy d(this);
  d.host = s_.proxyHost;
  d.port = s_.proxyPort;
  d.authentication = !s_.proxyUser.isEmpty();
  d.userName = s_.proxyUser;
  d.password = s_.proxyPassword;
  d.encPassword = s_.encProxyPassword;
  if (dlg::run(d) != QDialog::Accepted) return;
  s_.proxyHost = d.host;
  s_.proxyPort = d.port;
  if (d.authentication) {
    s_.proxyUser = d.userName;
    if (!d.encrypted) {
      s_.proxyPassword = d.password;
      s_.encProxyPassword.clear();
    }
  } else {
    s_.proxyUser.clear(), s_.proxyPassword.clear(), s_.encProxyPassword.clear();
  }
}

void CPageGeneral::serverList() {
  s_.hosts[0] = ui->IDC_HOST->text();
  s_.ports[0] = ui->IDC_PORT->text();
  CDlgChangeConnect d(this);
  d.hosts = s_.hosts;
  d.ports = s_.ports;
  d.mode = s_.changeType;
  if (dlg::run(d) != QDialog::Accepted) return;
  for (auto& h : s_.hosts) h.clear();
  for (auto& p : s_.ports) p.clear();
  s_.serverCount = 0;
  for (size_t i = 0; i < d.hosts.size() && !d.hosts[i].isEmpty(); ++i) {
    s_.hosts[i] = d.hosts[i];
    s_.ports[i] = d.ports[i];
    s_.serverCount = int(i) + 1;
  }
  s_.changeType = d.mode;
  updateLabel();
  ui->IDC_HOST->setText(s_.hosts[0]);
  ui->IDC_PORT->setText(s_.ports[0]);
}

bool CPageGeneral::validate() {
  QString h = ui->IDC_HOST->text(), p = ui->IDC_PORT->text(), sw = ui->IDC_SWITCH->text();
  s_.hosts[0] = h;
  s_.ports[0] = p;
  s_.switchName = sw;
  if (!h.isEmpty() && s_.serverCount == 0) s_.serverCount = 1;
  for (const QString& v : {h, p, sw})
    if (!dlg::singleByte(v)) return dlg::showMessage(this, 22220, v), false;
  if (h.size() > 125) {
    dlg::showMessage(this, 22222, h);
    ui->IDC_HOST->setFocus();
    return false;
  }
  bool ok = true;
  if (!p.isEmpty() && (p.toULongLong(&ok) >= 65536 || !ok)) {
    dlg::showMessage(this, 22224, p);
    ui->IDC_PORT->setFocus();
    return false;
  }
  if (sw.size() > 16) {
    dlg::showMessage(this, 22221, sw);
    ui->IDC_SWITCH->setFocus();
    return false;
  }
  return true;
}

int CPageGeneral::completenessFault() const {
  if (s_.hosts[0].isEmpty()) return 22261;
  if (s_.ports[0].isEmpty()) return 22262;
  if (s_.switchName.isEmpty()) return 22263;
  return 0;
}
