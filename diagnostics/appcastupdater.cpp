#include "diagnostics/appcastupdater.h"

#include "diagnostics/logging.h"
#include "diagnostics/updatewindow.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QTimer>

namespace {

const QString kAutomaticChecks = QStringLiteral("check_updates_automatically");
constexpr int kFeedTimeoutMs = 15000;

QSettings programSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brightloom"),
                     QStringLiteral("Brightloom"));
}

} // namespace

CAppcastUpdater::CAppcastUpdater(const QString& feedUrl, const QString& currentBuild)
    : m_feedUrl(feedUrl, QUrl::StrictMode), m_currentBuild(currentBuild),
      m_network(new QNetworkAccessManager(this))
{
}

CAppcastUpdater::~CAppcastUpdater()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    delete m_window.data();
}

void CAppcastUpdater::checkInBackground()
{
    qDebug() << "Auto-updater: Checking for new application version in the background";
    startCheck();
}

void CAppcastUpdater::checkWithUi()
{
    qDebug() << "Auto-updater: Checking for new application version with user confirmation";
    CUpdateWindow* window = ensureWindow();
    window->showChecking();
    window->show();
    window->raise();
    window->activateWindow();
    m_watched = true;
    startCheck();
}

bool CAppcastUpdater::automaticChecksEnabled() const
{
    // On by default: the feed lives on the service the person already uploads to.
    return programSettings().value(kAutomaticChecks, true).toBool();
}

void CAppcastUpdater::setAutomaticChecksEnabled(bool enabled)
{
    QSettings settings = programSettings();
    settings.setValue(kAutomaticChecks, enabled);
    settings.sync();
    qCInfo(lcDiagnostics) << "automatic update checks" << (enabled ? "on" : "off");
}

void CAppcastUpdater::startCheck()
{
    if (m_reply)
        return;
    const QString scheme = m_feedUrl.scheme().toLower();
    if (!m_feedUrl.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        // Answered like any other failure: later, never from inside the caller.
        QTimer::singleShot(0, this, [this] {
            finish(EUpdateCheckResult::Failed, SAppcastItem(),
                   tr("The update feed address \"%1\" is not a web address.").arg(m_feedUrl.toString()));
        });
        return;
    }
    QNetworkRequest request(m_feedUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kFeedTimeoutMs);
    m_tooLarge = false;
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > kMaxAppcastBytes && m_reply) {
            m_tooLarge = true;
            m_reply->abort();
        }
    });
    connect(m_reply, &QNetworkReply::finished, this, &CAppcastUpdater::onReplyFinished);
}

void CAppcastUpdater::onReplyFinished()
{
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    const QString url = m_feedUrl.toString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_tooLarge) {
        finish(EUpdateCheckResult::Failed, SAppcastItem(),
               tr("The update feed at %1 is malformed: it is larger than %2 bytes.")
                   .arg(url)
                   .arg(kMaxAppcastBytes));
        return;
    }
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        const QString why = status > 0 ? tr("it answered HTTP status %1").arg(status) : reply->errorString();
        finish(EUpdateCheckResult::Failed, SAppcastItem(),
               tr("The update service could not be reached at %1: %2.").arg(url, why));
        return;
    }
    QList<SAppcastItem> items;
    QString error;
    if (!parseAppcast(reply->readAll(), &items, &error)) {
        finish(EUpdateCheckResult::Failed, SAppcastItem(),
               tr("The update feed at %1 is malformed: %2.").arg(url, error));
        return;
    }
    const std::optional<SAppcastItem> newer = newestItemAbove(items, m_currentBuild.toLongLong());
    if (newer)
        finish(EUpdateCheckResult::UpdateFound, *newer, QString());
    else
        finish(EUpdateCheckResult::UpToDate, SAppcastItem(), QString());
}

void CAppcastUpdater::finish(EUpdateCheckResult result, const SAppcastItem& item, const QString& failure)
{
    const bool watched = std::exchange(m_watched, false) && m_window;
    switch (result) {
    case EUpdateCheckResult::UpdateFound: {
        qCInfo(lcDiagnostics).noquote()
            << "update check: version" << item.displayVersion << "build" << item.build
            << "offered, download page" << item.downloadPage.toString();
        CUpdateWindow* window = ensureWindow();
        window->showUpdate(item, m_currentBuild);
        window->show();
        window->raise();
        window->activateWindow();
        break;
    }
    case EUpdateCheckResult::UpToDate:
        qCInfo(lcDiagnostics).noquote() << "update check: build" << m_currentBuild << "is up to date";
        if (watched)
            m_window->showUpToDate(m_currentBuild);
        break;
    case EUpdateCheckResult::Failed:
        qCWarning(lcDiagnostics).noquote() << "update check failed:" << failure;
        if (watched)
            m_window->showFailure(failure);
        break;
    }
    emit checkFinished(result);
}

CUpdateWindow* CAppcastUpdater::ensureWindow()
{
    if (!m_window) {
        m_window = new CUpdateWindow(automaticChecksEnabled());
        connect(m_window, &CUpdateWindow::automaticChecksToggled, this,
                &CAppcastUpdater::setAutomaticChecksEnabled);
    }
    return m_window;
}
