#pragma once

#include "diagnostics/appcast.h"
#include "diagnostics/softwareupdater.h"
#include "diagnostics/updatewindow.h"

#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Where no update library exists: reads the feed itself, compares each item's build with
// ours and offers a newer one in a window. Every check is asynchronous; one runs at a time,
// and a check asked for while one runs is answered by the running one.
class CAppcastUpdater final : public CAbstractSoftwareUpdater
{
    Q_OBJECT

public:
    CAppcastUpdater(const QString& feedUrl, const QString& currentBuild);
    ~CAppcastUpdater() override;

    // Shows a window only when a newer version exists; failures are only logged.
    void checkInBackground() override;
    // Shows progress and every outcome, failures included.
    void checkWithUi() override;
    // A key of the settings file, on unless the person turned it off.
    bool automaticChecksEnabled() const override;
    void setAutomaticChecksEnabled(bool enabled) override;

    QUrl feedUrl() const { return m_feedUrl; }
    CUpdateWindow* window() const { return m_window; }

private:
    void startCheck();
    void onReplyFinished();
    void finish(EUpdateCheckResult result, const SAppcastItem& item, const QString& failure);
    CUpdateWindow* ensureWindow();

    QUrl m_feedUrl;
    QString m_currentBuild;
    QNetworkAccessManager* m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QPointer<CUpdateWindow> m_window; // a top-level window; deleted on close or with us
    bool m_watched = false;           // the running check reports in the window
    bool m_tooLarge = false;
};
