// The single-instance rule: the first instance listens on a per-user local
// socket named after "Velarn Client"; a later start connects, hands over its
// command line and reads back the reply value.
//
// Wire format, both ways little-endian: the sender writes a u32 length and
// that many bytes (the command line and its terminating zero byte); the
// receiver answers with one i32, possibly much later (reopening the library
// may take minutes), or closes without one when it ends the process.
#pragma once
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>

namespace vlngui {

// "Velarn Client" in the user's private runtime folder when there is one,
// else "Velarn Client-<uid>" in the temporary folder.
QString instance_name();

// Whether an instance answers under name.
bool instance_running(const QString& name);

// Hands line to the running instance; the reply, or nothing when the
// instance could not be reached or ended without answering. Waits at most
// wait_ms for the reply.
std::optional<int> forward_command_line(const QString& name, const std::string& line, int wait_ms = 600000);

class InstanceServer : public QObject {
  Q_OBJECT
 public:
  // Called on the window thread with each forwarded line; reply(value) may
  // be called later, at most once.
  using Handler = std::function<void(const std::string& line, std::function<void(int)> reply)>;
  explicit InstanceServer(Handler handler, QObject* parent = nullptr);
  bool listen(const QString& name);

 private:
  void on_connection();
  Handler handler_;
  QLocalServer server_;
};

}  // namespace vlngui
