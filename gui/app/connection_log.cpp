#include "connection_log.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace vlngui {

namespace {
// As many lines as the event log keeps, plus room for those that follow.
constexpr int kMaxLines = 200;
}  // namespace

ConnectionLog::ConnectionLog(const QString& title, const QString& close, const std::vector<std::string>& entries,
                             QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(title);
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("summary"));
  summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(summary_);
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("lines"));
  layout->addWidget(list_, 1);
  // The catalog's caption: Qt's own button texts are not translated here.
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(close, QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(buttons);
  for (const std::string& e : entries) list_->addItem(QString::fromStdString(e));
  list_->scrollToBottom();
  resize(520, 320);
}

void ConnectionLog::appendLine(const QString& line) {
  list_->addItem(line);
  while (list_->count() > kMaxLines) delete list_->takeItem(0);
  list_->scrollToBottom();
}

void ConnectionLog::setSummary(const QString& text) { summary_->setText(text); }

QStringList ConnectionLog::lines() const {
  QStringList out;
  for (int i = 0; i < list_->count(); ++i) out << list_->item(i)->text();
  return out;
}

}  // namespace vlngui
