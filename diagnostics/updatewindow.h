#pragma once

#include "diagnostics/appcast.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

// The one window of the update checks: progress and outcome of a check the person
// asked to watch, or the offer of a newer version with its notes and download page.
class CUpdateWindow : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateWindow(bool automaticChecks, QWidget* parent = nullptr);

    void showChecking();
    void showUpdate(const SAppcastItem& item, const QString& currentBuild);
    void showUpToDate(const QString& currentBuild);
    void showFailure(const QString& message);

    // What the window offers now, for the log and for tests.
    QString statusText() const;
    QUrl offeredDownloadPage() const { return m_item.downloadPage; }

signals:
    void automaticChecksToggled(bool enabled);

private:
    // A plain message: progress, notes and the download button out of the way.
    void showStatus(const QString& text);
    void openDownloadPage();
    void openLink(const QUrl& url);

    SAppcastItem m_item;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    QTextBrowser* m_notes = nullptr;
    QLabel* m_notesLink = nullptr;
    QCheckBox* m_automatic = nullptr;
    QPushButton* m_download = nullptr;
    QPushButton* m_close = nullptr;
};
