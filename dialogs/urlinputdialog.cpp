#include "dialogs/urlinputdialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The pattern alone lets through text that QUrl refuses or reads differently (a space in the
// host, port 999999, "\@" turning the typed host into user info): OK would then reserve a code
// for a link that can never work. The typed host must be the host QUrl sees.
bool isUsableUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const int start = text.indexOf(QLatin1String("://")) + 3;
    int end = start;
    while (end < text.size() && !QStringLiteral(":/?#").contains(text.at(end)))
        ++end;
    return text.mid(start, end - start).compare(url.host(), Qt::CaseInsensitive) == 0;
}

} // namespace

const QRegExp& CUrlInputDialog::urlPattern()
{
    // Built on first use, not at start: a resident program should not carry what only an
    // opened dialog needs.
    static const QRegExp pattern(
        QStringLiteral("^(http|https)://[a-z0-9]+([-.]{1}[a-z0-9]+)*.[a-z]{2,5}(([0-9]{1,5})?/?.*)$"),
        Qt::CaseSensitive, QRegExp::RegExp);
    return pattern;
}

CUrlInputDialog::CUrlInputDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("urlInputDialog"));
    setWindowTitle(tr("Upload image from URL"));

    auto* label = new QLabel(tr("Enter U&RL:"), this);
    label->setObjectName(QStringLiteral("urlLabel"));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    urlEdit = new QLineEdit(this);
    urlEdit->setObjectName(QStringLiteral("urlEdit"));
    label->setBuddy(urlEdit);

    errorLabel = new QLabel(QStringLiteral(" "), this);
    errorLabel->setObjectName(QStringLiteral("errorLabel"));
    errorLabel->setStyleSheet(QStringLiteral("color: red;"));

    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);

    auto* fieldBox = new QVBoxLayout;
    fieldBox->addWidget(urlEdit);
    fieldBox->addWidget(errorLabel);
    fieldBox->addStretch();
    auto* rowBox = new QHBoxLayout;
    rowBox->addWidget(label);
    rowBox->addLayout(fieldBox);
    auto* dialogBox = new QVBoxLayout(this);
    dialogBox->addLayout(rowBox);
    dialogBox->addWidget(buttons);

    setMinimumWidth(440);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    connect(urlEdit, &QLineEdit::textChanged, this, &CUrlInputDialog::onUrlTextChanged);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(buttons->button(QDialogButtonBox::Cancel), &QPushButton::clicked, this, &QDialog::reject);
}

QUrl CUrlInputDialog::url() const
{
    return QUrl(urlEdit->text(), QUrl::TolerantMode);
}

void CUrlInputDialog::onUrlTextChanged(const QString& text)
{
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    if (text.isEmpty()) {
        errorLabel->setText(QStringLiteral(" "));
        urlEdit->setStyleSheet(QString());
        ok->setEnabled(false);
    } else if (urlPattern().exactMatch(text) && isUsableUrl(text)) {
        errorLabel->setText(QStringLiteral(" "));
        urlEdit->setStyleSheet(QString());
        ok->setEnabled(true);
    } else {
        errorLabel->setText(tr("Invalid URL"));
        urlEdit->setStyleSheet(QStringLiteral("color: red;"));
        ok->setEnabled(false);
    }
}
