#include "app/usersession.h"

#include "api/hashloginrequest.h"
#include "api/servermanager.h"
#include "api/user.h"
#include "app/logging.h"

#include <QSettings>
#include <QTimer>

namespace BL::App {

CUserSession::CUserSession(QSettings* settings, SSignInNotifier notifier, QObject* parent)
    : QObject(parent), m_settings(settings), m_notifier(std::move(notifier)), m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, [this] {
        CUser* user = CUser::instance();
        if (user->isRemembered() && !user->isSignedIn())
            send(user->userHash(), true);
    });
}

void CUserSession::setRetryDelays(int firstMs, int maxMs)
{
    m_firstRetryMs = firstMs;
    m_maxRetryMs = maxMs;
    m_retryDelayMs = firstMs;
}

void CUserSession::signIn(const QString& name, const QString& passwd, bool rememberMe)
{
    CUser::instance()->setUserInfo(name, passwd, rememberMe);
    send(CUser::instance()->userHash(), false);
}

void CUserSession::signWithHash(const QString& hash)
{
    send(hash, CUser::instance()->isRemembered() && hash == CUser::instance()->userHash());
}

void CUserSession::send(const QString& hash, bool remembered)
{
    m_retryTimer->stop();
    const quint64 attempt = ++m_attempt;
    m_latestRemembered = remembered;
    auto* request = new CHashLoginRequest(hash);
    request->setTransferTimeout(m_answerTimeoutMs);
    connect(
        request, &CHashLoginRequest::signInOk, this,
        [this, attempt] {
            if (attempt != m_attempt) {
                qCDebug(lcApp) << "a sign-in answered after a newer one or a sign-out: ignored";
                return;
            }
            m_outageReported = false;
            m_retryDelayMs = m_firstRetryMs;
            m_notifier.accepted();
        });
    connect(request, &CHashLoginRequest::signInFailed, this,
            [this, attempt, request](const QString& errorDesc) {
                onFailed(attempt, errorDesc, request->networkError() == 0);
            });
    CServerManager::instance()->sendRequest(request);
}

void CUserSession::onFailed(quint64 attempt, const QString& errorDesc, bool answered)
{
    if (attempt != m_attempt)
        return;
    if (answered || !m_latestRemembered) {
        stopRetrying();
        m_notifier.refused(errorDesc);
        return;
    }
    qCInfo(lcApp).noquote() << "remembered sign-in kept; no answer from the service, next try in"
                            << m_retryDelayMs << "ms:" << QString(errorDesc).replace('\n', ' ');
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = qMin(m_retryDelayMs * 2, m_maxRetryMs);
    if (!m_outageReported) {
        m_outageReported = true;
        m_notifier.unreachable(errorDesc);
    }
}

void CUserSession::stopRetrying()
{
    m_retryTimer->stop();
    m_outageReported = false;
    m_retryDelayMs = m_firstRetryMs;
}

void CUserSession::retryNow()
{
    if (m_retryTimer->isActive()) {
        m_retryTimer->stop();
        m_retryTimer->start(0);
    }
}

bool CUserSession::retryPending() const
{
    return m_retryTimer->isActive();
}

void CUserSession::confirm()
{
    stopRetrying();
    CUser::instance()->setSignedIn();
    CUser::instance()->save(m_settings);
    m_settings->sync();
}

void CUserSession::drop()
{
    CUser::instance()->signOut();
}

void CUserSession::signOut()
{
    // A login still under way must not sign the user back in when its answer comes.
    ++m_attempt;
    stopRetrying();
    CUser::instance()->signOut();
    CUser::instance()->save(m_settings);
    m_settings->sync();
}

} // namespace BL::App
