#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QSettings;
class QTimer;

namespace BL::App {

// What a login by hash ends in, for the main widget to show.
struct SSignInNotifier
{
    std::function<void()> accepted;                        // the service knows the hash
    std::function<void(const QString& errorDesc)> refused; // refused, or a login from the dialog failed
    // A remembered login got no answer: the user stays remembered and is signed in again
    // by itself later. Called once per outage, not at every retry.
    std::function<void(const QString& errorDesc)> unreachable;
};

// Signing in and out on behalf of the main widget, with the user record CUser as the one
// source of the state. A login from the dialog fails at once on any error. A remembered
// login that gets no answer from the service (refused connection, time-out, an HTTP error
// status such as 5xx or 429) keeps the remembered name and hash and tries again with a
// growing delay, or at once when the service is known to answer again; only the service's
// own "no" ends the remembering. Of overlapping logins only the latest one counts.
class CUserSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUserSession)

public:
    // `settings` receives the remembered pair whenever the sign-in state settles.
    CUserSession(QSettings* settings, SSignInNotifier notifier, QObject* parent);

    // A new user record from the dialog, then a login with its hash.
    void signIn(const QString& name, const QString& passwd, bool rememberMe);
    // A login with `hash`; the remembered one at start-up goes this way.
    void signWithHash(const QString& hash);

    // After `accepted`: signed in, and the pair stored or forgotten at once.
    void confirm();
    // After `refused`: the record is emptied; the settings follow at their next write.
    void drop();
    // Signed out and the pair removed from the settings at once.
    void signOut();

    // The service answered another request: a waiting remembered login goes now.
    void retryNow();
    bool retryPending() const;
    int nextRetryDelayMs() const { return m_retryDelayMs; }

    // For tests: how long a login waits for a silent service, and the retry delays.
    void setAnswerTimeout(int ms) { m_answerTimeoutMs = ms; }
    void setRetryDelays(int firstMs, int maxMs);

private:
    void send(const QString& hash, bool remembered);
    void onFailed(quint64 attempt, const QString& errorDesc, bool answered);
    void stopRetrying();

    QSettings* m_settings;
    SSignInNotifier m_notifier;
    QTimer* m_retryTimer = nullptr;
    quint64 m_attempt = 0; // the latest login; replies of older ones are dropped
    bool m_latestRemembered = false;
    bool m_outageReported = false;
    int m_answerTimeoutMs = 15000;
    int m_firstRetryMs = 5000;
    int m_maxRetryMs = 5 * 60 * 1000;
    int m_retryDelayMs = 5000;
};

} // namespace BL::App
