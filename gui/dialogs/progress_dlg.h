// The token library's progress window and message box. The library calls
// the sink from whatever thread runs the operation, under its own lock, so
// the sink only copies the text and posts the work to the window's thread.
#pragma once
#include <QDialog>
#include <memory>

struct TokenData;
namespace Ui {
class CProgressDlg;
}

class CProgressDlg : public QDialog {
 public:
  explicit CProgressDlg(QWidget* parent = nullptr);
  ~CProgressDlg() override;  // takes the sink back from the library

  // Makes this window the library's progress sink.
  void install();
  static void Sink(void* context, const TokenData* handle, int event, const char* text);

  QString text() const;
  // Runs one library event on this window (the sink posts here).
  void handle(int event, const QString& text);

 private:
  std::unique_ptr<Ui::CProgressDlg> ui;
  bool installed_ = false;
};
