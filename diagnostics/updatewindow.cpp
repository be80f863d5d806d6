#include "diagnostics/updatewindow.h"

#include "diagnostics/logging.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

CUpdateWindow::CUpdateWindow(bool automaticChecks, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Brightloom Update"));
    setAttribute(Qt::WA_DeleteOnClose);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(true);
    m_status->setTextFormat(Qt::PlainText);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 0);
    m_notes = new QTextBrowser(this);
    m_notes->setObjectName(QStringLiteral("notesView"));
    // Links in the notes go through the same check as the download page.
    m_notes->setOpenLinks(false);
    connect(m_notes, &QTextBrowser::anchorClicked, this, &CUpdateWindow::openLink);
    m_notesLink = new QLabel(this);
    m_notesLink->setTextFormat(Qt::RichText);
    m_notesLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(m_notesLink, &QLabel::linkActivated, this, [this] { openLink(m_item.releaseNotesLink); });

    m_automatic = new QCheckBox(tr("Check automatically"), this);
    m_automatic->setObjectName(QStringLiteral("automaticBox"));
    m_automatic->setChecked(automaticChecks);
    connect(m_automatic, &QCheckBox::toggled, this, &CUpdateWindow::automaticChecksToggled);

    m_download = new QPushButton(tr("Open Download Page"), this);
    m_download->setObjectName(QStringLiteral("downloadButton"));
    connect(m_download, &QPushButton::clicked, this, &CUpdateWindow::openDownloadPage);
    m_close = new QPushButton(tr("Close"), this);
    connect(m_close, &QPushButton::clicked, this, &QDialog::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_automatic);
    buttons->addStretch();
    buttons->addWidget(m_download);
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addWidget(m_progress);
    layout->addWidget(m_notes, 1);
    layout->addWidget(m_notesLink);
    layout->addLayout(buttons);
    resize(480, 200);
}

void CUpdateWindow::showChecking()
{
    showStatus(tr("Checking for updates..."));
    m_progress->show();
}

void CUpdateWindow::showUpdate(const SAppcastItem& item, const QString& currentBuild)
{
    m_item = item;
    m_status->setText(tr("A new version of Brightloom is available: %1\nYou have build %2.")
                          .arg(item.displayVersion, currentBuild));
    m_progress->hide();
    // Feed text is shown, never run: no scripts exist in a text browser, and links are checked.
    m_notes->setHtml(item.releaseNotes);
    m_notes->setVisible(!item.releaseNotes.isEmpty());
    m_notesLink->setText(QStringLiteral("<a href=\"notes\">%1</a>").arg(tr("Release notes").toHtmlEscaped()));
    m_notesLink->setVisible(item.releaseNotes.isEmpty() && !item.releaseNotesLink.isEmpty());
    m_download->setVisible(!item.downloadPage.isEmpty());
    if (!item.releaseNotes.isEmpty())
        resize(width(), qMax(height(), 360));
    QPushButton* main = item.downloadPage.isEmpty() ? m_close : m_download;
    main->setDefault(true);
    main->setFocus();
}

void CUpdateWindow::showUpToDate(const QString& currentBuild)
{
    showStatus(tr("Brightloom is up to date (build %1).").arg(currentBuild));
}

void CUpdateWindow::showFailure(const QString& message)
{
    showStatus(message);
}

void CUpdateWindow::showStatus(const QString& text)
{
    m_item = SAppcastItem();
    m_status->setText(text);
    m_progress->hide();
    m_notes->hide();
    m_notesLink->hide();
    m_download->hide();
    m_close->setDefault(true);
    m_close->setFocus();
}

QString CUpdateWindow::statusText() const
{
    return m_status->text();
}

void CUpdateWindow::openDownloadPage()
{
    openLink(m_item.downloadPage);
}

void CUpdateWindow::openLink(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        qCWarning(lcDiagnostics) << "update window: not opening" << url.toString();
        return;
    }
    qCInfo(lcDiagnostics).noquote() << "update window: opening" << url.toString();
    if (!QDesktopServices::openUrl(url))
        m_status->setText(m_status->text() + QLatin1Char('\n') + tr("The web browser could not be started."));
}
