#include "instance_channel.h"

#include <QDir>
#include <QTimer>
#include <QtEndian>

#include "platform/account.h"

namespace vlngui {

namespace {
// A command line is a few hundred bytes; anything far larger is not ours.
constexpr quint32 kMaxLine = 64 * 1024;
constexpr int kReadWithinMs = 10000;
}  // namespace

QString instance_name() {
  QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QString::fromLocal8Bit(runtime) + QStringLiteral("/Velarn Client");
  return QStringLiteral("Velarn Client-%1").arg(QString::fromStdString(velarn::current_account_id()));
}

bool instance_running(const QString& name) {
  QLocalSocket s;
  s.connectToServer(name);
  bool up = s.waitForConnected(3000);
  s.abort();
  return up;
}

std::optional<int> forward_command_line(const QString& name, const std::string& line, int wait_ms) {
  QLocalSocket s;
  s.connectToServer(name);
  if (!s.waitForConnected(5000)) return std::nullopt;
  QByteArray data(line.data(), static_cast<qsizetype>(line.size()));
  data.append('\0');
  quint32 len = qToLittleEndian<quint32>(static_cast<quint32>(data.size()));
  s.write(reinterpret_cast<const char*>(&len), sizeof len);
  s.write(data);
  if (!s.waitForBytesWritten(5000)) return std::nullopt;
  QByteArray reply;
  while (reply.size() < 4) {
    if (s.bytesAvailable() == 0 && !s.waitForReadyRead(wait_ms)) break;
    reply += s.read(4 - reply.size());
  }
  if (reply.size() < 4) return std::nullopt;
  return qFromLittleEndian<qint32>(reply.constData());
}

InstanceServer::InstanceServer(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler)) {
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::on_connection);
}

bool InstanceServer::listen(const QString& name) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(name)) return true;
  // A socket left by an instance that died: nobody answers on it.
  if (server_.serverError() == QAbstractSocket::AddressInUseError && !instance_running(name)) {
    QLocalServer::removeServer(name);
    return server_.listen(name);
  }
  return false;
}

void InstanceServer::on_connection() {
  while (QLocalSocket* raw = server_.nextPendingConnection()) {
    QPointer<QLocalSocket> sock(raw);
    auto buffer = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    connect(raw, &QLocalSocket::disconnected, raw, &QObject::deleteLater);
    // A peer that never finishes its message is dropped.
    QTimer::singleShot(kReadWithinMs, raw, [sock, done] {
      if (sock && !*done) sock->abort();
    });
    auto consume = [this, sock, buffer, done] {
      if (!sock || *done) return;
      *buffer += sock->readAll();
      if (buffer->size() < 4) return;
      quint32 len = qFromLittleEndian<quint32>(buffer->constData());
      if (len == 0 || len > kMaxLine) {
        sock->abort();
        return;
      }
      if (static_cast<quint32>(buffer->size()) < 4 + len) return;
      *done = true;
      QByteArray text = buffer->mid(4, len);
      int zero = text.indexOf('\0');
      if (zero >= 0) text.truncate(zero);
      handler_(text.toStdString(), [sock](int value) {
        if (!sock) return;
        qint32 v = qToLittleEndian<qint32>(value);
        sock->write(reinterpret_cast<const char*>(&v), sizeof v);
        sock->flush();
        sock->waitForBytesWritten(1000);
        sock->disconnectFromServer();
      });
    };
    connect(raw, &QLocalSocket::readyRead, this, consume);
    // Bytes that arrived with the connection raise no further signal.
    if (raw->bytesAvailable() > 0) consume();
  }
}

}  // namespace vlngui
