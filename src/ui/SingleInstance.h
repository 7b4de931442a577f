#pragma once
// One desktop window per user: the first `sonavert` listens on a local socket in the user's
// runtime folder; a later `sonavert FILE...` hands its files to it over that socket and ends, and
// the running window adds them as a drop and comes to the front.
#include <functional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

class QLocalServer;

namespace sonavert {

// The socket's path: $XDG_RUNTIME_DIR/sonavert.socket (Qt's runtime folder when it is not set).
QString InstanceSocketPath();

// Sends `paths` to the instance listening at `socketPath`. True when one took them; false when
// none listens (the caller then opens its own window).
bool HandToRunningInstance(const QString& socketPath, const std::vector<std::string>& paths);

// Listens at `socketPath` and calls `received` with the paths of every later start.
class InstanceServer : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(const std::vector<std::string>& paths)>;
    InstanceServer(const QString& socketPath, Receiver received, QObject* parent = nullptr);
    // False when the socket could not be made (the program then runs alone, as before).
    bool Listening() const;

private:
    void OnConnection();
    QLocalServer* server_;
    Receiver received_;
};

}  // namespace sonavert
