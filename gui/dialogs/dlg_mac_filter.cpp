// The virtual adapter's MAC address filter: none, an allow list or a deny list.
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QRadioButton>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_mac_filter.h"

using namespace vlngui;

CDlgMacFilter::CDlgMacFilter(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgMacFilter) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  for (QRadioButton* r : {ui->IDC_MAC_NONE, ui->IDC_MAC_ALLOW, ui->IDC_MAC_DENY})
    connect(r, &QRadioButton::toggled, this, [this] { ui->IDC_MAC_LIST->setEnabled(!ui->IDC_MAC_NONE->isChecked()); });
}

CDlgMacFilter::~CDlgMacFilter() = default;

void CDlgMacFilter::load() {
  dlg::applyCaptions(this, 12500, 12599);
  dlg::applyTitle(this, 20208);
  auto show = [this](const QStringList& l) {
    QString t;
    for (const QString& e : l) t += e + '\n';
    ui->IDC_MAC_LIST->setPlainText(t);
  };
  if (!allow.isEmpty()) {
    show(allow);
    ui->IDC_MAC_ALLOW->setChecked(true);
  } else if (deny.isEmpty()) {
    ui->IDC_MAC_NONE->setChecked(true);
  } else {
    show(deny);
    ui->IDC_MAC_DENY->setChecked(true);
  }
  ui->IDC_MAC_LIST->setEnabled(!ui->IDC_MAC_NONE->isChecked());
}

bool CDlgMacFilter::validMac(const QString& e) {
  static const QString kAllowed = QStringLiteral("0123456789abcdefABCDEF:\r\n");
  if (e.size() != 17 || !dlg::singleByte(e)) return false;
  for (QChar c : e)
    if (!kAllowed.contains(c)) return false;
  for (int at : {2, 5, 8, 11, 14})
    if (e[at] != ':') return false;
  return true;
}

int CDlgMacFilter::parse(const QString& text, QStringList* out, QString* bad) {
  out->clear();
  for (int off = 0; off < 4883; off += 19) {
    QString piece = text.mid(off, 18).trimmed();
    if (piece.isEmpty()) break;
    if (!validMac(piece)) {
      *bad = piece;
      return 22220;
    }
    *out << piece;
  }
  return out->size() > 256 ? 22225 : 0;
}

void CDlgMacFilter::onOk() {
  if (ui->IDC_MAC_NONE->isChecked()) {
    allow.clear();
    deny.clear();
    accept();
    return;
  }
  bool toAllow = ui->IDC_MAC_ALLOW->isChecked();
  if (!toAllow && !ui->IDC_MAC_DENY->isChecked()) {
    accept();
    return;
  }
  QStringList& chosen = toAllow ? allow : deny;
  QStringList& other = toAllow ? deny : allow;
  // The steps count a CR LF after every address, as the list was typed.
  QString text = ui->IDC_MAC_LIST->toPlainText().replace('\n', QStringLiteral("\r\n"));
  QString bad;
  int rc = parse(text, &chosen, &bad);
  if (rc) {
    chosen.clear();
    dlg::showMessage(this, rc, rc == 22220 ? bad : QString());
    return;
  }
  other.clear();
  accept();
}
