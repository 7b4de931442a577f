#include "ui/SingleInstance.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace sonavert {

namespace {
// The paths go as one message: each path's bytes followed by a NUL (a path holds no NUL).
constexpr int kWaitMs = 2000;
// A start names few files; a sender that goes past this is not one of ours.
constexpr qint64 kMaxMessageBytes = 16 << 20;
}  // namespace

QString InstanceSocketPath() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder + QStringLiteral("/sonavert.socket");
}

bool HandToRunningInstance(const QString& socketPath, const std::vector<std::string>& paths) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(kWaitMs)) return false;
    QByteArray message;
    for (const std::string& path : paths) {
        message.append(path.data(), static_cast<qsizetype>(path.size()));
        message.append('\0');
    }
    // An empty message still raises the window.
    if (message.isEmpty()) message.append('\0');
    socket.write(message);
    const bool sent = socket.waitForBytesWritten(kWaitMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kWaitMs);
    return sent;
}

InstanceServer::InstanceServer(const QString& socketPath, Receiver received, QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), received_(std::move(received)) {
    // Only this user may connect.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath)) {
        // A socket left by a program that ended without removing it: nobody answers on it.
        QLocalSocket probe;
        probe.connectToServer(socketPath);
        if (!probe.waitForConnected(200)) {
            QLocalServer::removeServer(socketPath);
            server_->listen(socketPath);
        }
    }
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::OnConnection);
}

bool InstanceServer::Listening() const { return server_->isListening(); }

void InstanceServer::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto* buffer = new QByteArray;
        connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
            buffer->append(socket->readAll());
            if (buffer->size() > kMaxMessageBytes) socket->abort();
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            std::vector<std::string> paths;
            if (buffer->size() <= kMaxMessageBytes) {
                for (const QByteArray& part : buffer->split('\0'))
                    if (!part.isEmpty()) paths.emplace_back(part.constData(), static_cast<size_t>(part.size()));
            }
            delete buffer;
            socket->deleteLater();
            received_(paths);
        });
    }
}

}  // namespace sonavert
