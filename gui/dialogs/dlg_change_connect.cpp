// The server list (host:port per line) and the switching mode.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPlainTextEdit>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_change_connect.h"

using namespace vlngui;

CDlgChangeConnect::CDlgChangeConnect(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgChangeConnect) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CDlgChangeConnect::~CDlgChangeConnect() = default;

void CDlgChangeConnect::load() {
  dlg::applyCaptions(this, 12601, 12699);
  dlg::applyTitle(this, 20207);
  ui->IDC_MODE->clear();
  for (int id = 21060; id <= 21068; ++id) {
    QString t = dlg::text(id);
    if (!t.isEmpty()) ui->IDC_MODE->addItem(t);
  }
  ui->IDC_MODE->setCurrentIndex(mode);
  QString list;
  for (size_t i = 0; i < hosts.size(); ++i)
    if (!hosts[i].isEmpty() || !ports[i].isEmpty()) list += hosts[i] + ':' + ports[i] + '\n';
  ui->IDC_SERVER_LIST->setPlainText(list);
}

void CDlgChangeConnect::onOk() {
  QStringList lines;
  for (const QString& raw : ui->IDC_SERVER_LIST->toPlainText().split('\n')) {
    QString l = raw.trimmed();
    if (!l.isEmpty()) lines << l;
    if (lines.size() == 256) break;
  }
  if (lines.size() >= 100) {
    dlg::showMessage(this, 22226);
    return;
  }
  for (size_t i = 0; i < hosts.size(); ++i) hosts[i].clear(), ports[i].clear();
  int noted = 0;
  QString notedValue;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString& l = lines[i];
    int colon = int(l.indexOf(':'));
    int fault = 0;
    QString value;
    QString h = colon < 0 ? QString() : l.left(colon);
    QString p = colon < 0 ? QString() : l.mid(colon + 1);
    if (colon < 0 || !dlg::singleByte(h) || !dlg::singleByte(p) || p.isEmpty()) {
      fault = 22220, value = l;
    } else if (h.size() > 125) {
      fault = 22222, value = h;
    } else {
      bool digits = true;
      for (QChar c : p) digits = digits && c >= '0' && c <= '9';
      if (!digits) {
        noted = 22227, notedValue = p;
        p = QStringLiteral("0");
      }
      bool ok = true;
      if (p.toULongLong(&ok) > 65535 || !ok)
        fault = 22224, value = p;
      else if (h.isEmpty())
        fault = 22220, value = h + ':' + p;
    }
    if (fault) {
      dlg::showMessage(this, fault, value);
      return;
    }
    hosts[size_t(i)] = h;
    ports[size_t(i)] = p;
  }
  if (noted) {
    dlg::showMessage(this, noted, notedValue);
    return;
  }
  int chosen = ui->IDC_MODE->currentIndex();
  if (chosen < 0) return;
  mode = chosen;
  accept();
}
