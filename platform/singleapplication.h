#pragma once

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <memory>

class QLocalServer;
class QLockFile;

// One instance per user: the first process to take the lock becomes the
// primary and listens on a per-user local socket; later processes hand their
// message to it. Both lock and socket live in a directory only this user can
// reach, so instances of different users never see each other.
class CSingleApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CSingleApplication)

public:
    CSingleApplication(int& argc, char** argv);
    ~CSingleApplication() override;

    // Identity of the instance: derived from the executable's path and the user.
    QString id() const { return m_id; }
    // True when another process of this user holds the instance lock.
    bool isRunning() const { return !m_primary; }

    // Delivers `message` to the running instance; true once it confirmed receipt
    // within `timeout` ms. False when this process is the primary or nobody answered.
    bool sendMessage(const QString& message, int timeout = 5000);

    void setActivationWindow(QWidget* window, bool activateOnMessage = true);
    QWidget* activationWindow() const { return m_activationWindow; }

    // Where the lock and the socket live (for diagnostics and tests).
    static QString runtimeDirectory();

    // A popup with this property set to true stays open when the application loses the input
    // focus, which would otherwise close every popup.
    static constexpr const char* keepPopupWhenInactive = "bl_keepPopupWhenInactive";

    bool notify(QObject* receiver, QEvent* event) override;

public slots:
    void activateWindow();

signals:
    void messageReceived(const QString& message);

private:
    void becomePrimary();
    void readConnection();

    QString m_id;
    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_primary = false;
    QPointer<QWidget> m_activationWindow;
    bool m_activateOnMessage = false;
};
