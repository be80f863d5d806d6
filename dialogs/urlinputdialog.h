#pragma once

#include <QDialog>
#include <QRegExp>
#include <QUrl>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

// Asks for the web address of an image to upload; OK is enabled only for an address that
// passes the URL check.
class CUrlInputDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUrlInputDialog)

public:
    explicit CUrlInputDialog(QWidget* parent = nullptr);

    // The typed address, parsed in tolerant mode.
    QUrl url() const;

    // The check every typed address must pass as a whole.
    static const QRegExp& urlPattern();

private slots:
    void onUrlTextChanged(const QString& text);

private:
    QLabel* errorLabel = nullptr;
    QLineEdit* urlEdit = nullptr;
    QDialogButtonBox* buttons = nullptr;
};
