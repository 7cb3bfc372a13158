// The connection log window: the event log as it stood when opened, the lines
// that come after, and the session's counters. Qt's widgets live on the
// window thread, so it is a non-modal window there rather than a modal one on
// a thread of its own; for the user it behaves the same: one at a time, and
// asking for it again brings it forward.
#pragma once
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <string>
#include <vector>

namespace vlngui {

class ConnectionLog : public QDialog {
  Q_OBJECT
 public:
  ConnectionLog(const QString& title, const QString& close, const std::vector<std::string>& entries,
                QWidget* parent = nullptr);

  void appendLine(const QString& line);
  void setSummary(const QString& text);
  QStringList lines() const;
  QString summary() const { return summary_->text(); }

 private:
  QListWidget* list_;
  QLabel* summary_;
};

}  // namespace vlngui
