#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Ui {
class dlgOptions;
}

// Lets the user change the five global shortcuts. Change puts a row into grabbing mode:
// the keys pressed are recorded and shown until Enter confirms or Esc cancels. The dialog
// never touches the hotkeys itself; it says when recording starts and stops, so the host
// can switch them off meanwhile, and hands back the five texts.
class COptionsDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(COptionsDialog)

public:
    explicit COptionsDialog(QWidget* parent = nullptr);
    ~COptionsDialog() override;

    void setSingleShotText(const QString& text) { setRowText(0, text); }
    void setComparisonShotText(const QString& text) { setRowText(1, text); }
    void setDropWidgetText(const QString& text) { setRowText(2, text); }
    void setLocalShotText(const QString& text) { setRowText(3, text); }
    void setTextShotText(const QString& text) { setRowText(4, text); }
    QString singleShotText() const { return shortcutTexts[0]; }
    QString comparisonShotText() const { return shortcutTexts[1]; }
    QString dropWidgetText() const { return shortcutTexts[2]; }
    QString localShotText() const { return shortcutTexts[3]; }
    QString textShotText() const { return shortcutTexts[4]; }

signals:
    void startedChangingHotkey();
    // Every start is matched by a stop, also when the dialog is closed while recording.
    void stoppedChangingHotkey();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    void onChangeShortcutClicked();
    void onAccepted();
    void finishGrabbing();
    void cancelGrabbing();
    QString stringizedSequence(const QVector<int>& keys);

private:
    void setRowText(int row, const QString& text);
    void showHint(int row, const QString& text, bool error);
    void leaveGrabbing();
    // The message for two rows that name the same sequence; empty when all differ.
    QString clashMessage() const;
    QLineEdit* rowEdit(int row) const;
    QLabel* rowHint(int row) const;
    QPushButton* rowButton(int row) const;
    QPushButton* okButton() const;

    int editedRow = 0;
    std::unique_ptr<Ui::dlgOptions> ui;
    QStringList shortcutTexts;
    bool grabbing = false;
    int modifierCount = 0;
    QVector<int> grabbedKeys;

    QString m_pressEnterMessage;
    QString m_noNonModifierMessage;
    QString m_singleComparisonClashMessage;
    QString m_rowsClashMessage;
    QStringList m_rowNames;
};
