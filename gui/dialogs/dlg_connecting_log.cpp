// The connection log: the session's recent event lines in a list.
#include <QListWidget>
#include <QPushButton>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_connecting_log.h"

using namespace vlngui;

namespace {
// Bytes of one character in the Japanese double-byte code page: ASCII and
// half-width katakana take one, everything else two (a character the code
// page lacks becomes one substitute byte there).
int cp932Bytes(char32_t c) {
  if (c < 0x80 || (c >= 0xFF61 && c <= 0xFF9F)) return 1;
  if (c >= 0x10000) return 1;
  return 2;
}
}  // namespace

CDlgConnectingLog::CDlgConnectingLog(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgConnectingLog) {
  ui->setupUi(this);
  connect(ui->IDC_LOG_CLOSE, &QPushButton::clicked, this, &QDialog::reject);
  connect(ui->IDC_LOG_DETAILS, &QPushButton::clicked, this, [this] {
    if (sessionLogPath.isEmpty()) return;
    dlg::startProgram(QStringLiteral("xdg-open"), {sessionLogPath});
  });
}

CDlgConnectingLog::~CDlgConnectingLog() = default;

void CDlgConnectingLog::load() {
  dlg::applyCaptions(this, 19800, 19899);
  setWindowTitle(dlg::text(20103));
  ui->IDC_LOG_LIST->clear();
  for (const QString& l : lines) addLine(l);
  ui->IDC_LOG_LIST->setFocus();
}

void CDlgConnectingLog::addLine(const QString& line) {
  QList<uint> cps = line.toUcs4();
  int bytes = 0;
  qsizetype cut = -1;  // code points in the first entry
  for (qsizetype i = 0; i < cps.size(); ++i) {
    int n = cp932Bytes(cps[i]);
    if (bytes + n > 60 && cut < 0) cut = i;
    bytes += n;
  }
  auto* list = ui->IDC_LOG_LIST;
  if (bytes <= 60 || cut < 0) {
    list->addItem(line);
  } else {
    QString first = QString::fromUcs4(reinterpret_cast<const char32_t*>(cps.constData()), cut);
    list->addItem(first);
    list->addItem(QString::fromUcs4(reinterpret_cast<const char32_t*>(cps.constData()) + cut, cps.size() - cut));
  }
  list->setCurrentRow(list->count() - 1);
}
