#include "dialogs/optionsdialog.h"

#include "dialogs/defaultshortcuts.h"
#include "dialogs/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHash>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace Ui {

// The dialog's form, laid out as a designer form would be, so its object names and
// translation context stay those of the form.
class dlgOptions
{
public:
    QGridLayout* gridLayout = nullptr;
    QLabel* lbSingleShotCaption = nullptr;
    QLineEdit* leSingleShot = nullptr;
    QPushButton* pbSingleShotChange = nullptr;
    QLabel* lbSingleHint = nullptr;
    QLabel* lbComparisonShotChange = nullptr;
    QLineEdit* leComparisonShotChange = nullptr;
    QPushButton* pbComparisonShotChange = nullptr;
    QLabel* lbComparisonHint = nullptr;
    QLabel* lbShowDropWidgetCaption = nullptr;
    QLineEdit* leShowDropWidgetShortcut = nullptr;
    QPushButton* pbShowDropWidgetChange = nullptr;
    QLabel* lbShowDropWidgetShortcutHint = nullptr;
    QLabel* lbLocalShotCaption = nullptr;
    QLineEdit* leLocalShot = nullptr;
    QPushButton* pbLocalShotChange = nullptr;
    QLabel* lbLocalShotHint = nullptr;
    QLabel* lbTextShotCaption = nullptr;
    QLineEdit* leTextShot = nullptr;
    QPushButton* pbTextShotChange = nullptr;
    QLabel* lbTextShotHint = nullptr;
    QDialogButtonBox* buttonBox = nullptr;

    void setupUi(QDialog* dialog)
    {
        dialog->setObjectName(QStringLiteral("dlgOptions"));
        dialog->resize(467, 239);
        dialog->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        gridLayout = new QGridLayout(dialog);
        gridLayout->setObjectName(QStringLiteral("gridLayout"));

        const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
        const auto label = [dialog](QLabel*& field, const char* name, Qt::Alignment alignment) {
            field = new QLabel(dialog);
            field->setObjectName(QLatin1String(name));
            if (alignment)
                field->setAlignment(alignment);
        };
        const auto edit = [dialog](QLineEdit*& field, const char* name) {
            field = new QLineEdit(dialog);
            field->setObjectName(QLatin1String(name));
            field->setReadOnly(true);
        };
        const auto button = [dialog](QPushButton*& field, const char* name) {
            field = new QPushButton(dialog);
            field->setObjectName(QLatin1String(name));
        };

        label(lbSingleShotCaption, "lbSingleShotCaption", right);
        edit(leSingleShot, "leSingleShot");
        button(pbSingleShotChange, "pbSingleShotChange");
        label(lbSingleHint, "lbSingleHint", right);
        label(lbComparisonShotChange, "lbComparisonShotChange", right);
        edit(leComparisonShotChange, "leComparisonShotChange");
        button(pbComparisonShotChange, "pbComparisonShotChange");
        label(lbComparisonHint, "lbComparisonHint", right);
        label(lbShowDropWidgetCaption, "lbShowDropWidgetCaption", right);
        edit(leShowDropWidgetShortcut, "leShowDropWidgetShortcut");
        button(pbShowDropWidgetChange, "pbShowDropWidgetChange");
        label(lbShowDropWidgetShortcutHint, "lbShowDropWidgetShortcutHint", right);
        label(lbLocalShotCaption, "lbLocalShotCaption", right);
        edit(leLocalShot, "leLocalShot");
        button(pbLocalShotChange, "pbLocalShotChange");
        label(lbLocalShotHint, "lbLocalShotHint", {});
        label(lbTextShotCaption, "lbTextShotCaption", right);
        edit(leTextShot, "leTextShot");
        button(pbTextShotChange, "pbTextShotChange");
        label(lbTextShotHint, "lbTextShotHint", {});

        gridLayout->addWidget(lbSingleShotCaption, 0, 0);
        gridLayout->addWidget(leSingleShot, 0, 1);
        gridLayout->addWidget(pbSingleShotChange, 0, 2);
        gridLayout->addWidget(lbSingleHint, 1, 0, 1, 2);
        gridLayout->addWidget(lbComparisonShotChange, 2, 0, 2, 1);
        gridLayout->addWidget(leComparisonShotChange, 3, 1);
        gridLayout->addWidget(pbComparisonShotChange, 3, 2);
        gridLayout->addWidget(lbComparisonHint, 4, 0, 1, 2);
        gridLayout->addWidget(lbShowDropWidgetCaption, 5, 0);
        gridLayout->addWidget(leShowDropWidgetShortcut, 5, 1);
        gridLayout->addWidget(pbShowDropWidgetChange, 5, 2);
        gridLayout->addWidget(lbShowDropWidgetShortcutHint, 7, 0, 1, 2);
        gridLayout->addWidget(lbLocalShotCaption, 8, 0);
        gridLayout->addWidget(leLocalShot, 8, 1);
        gridLayout->addWidget(pbLocalShotChange, 8, 2);
        gridLayout->addWidget(lbLocalShotHint, 9, 0, 1, 2);
        gridLayout->addWidget(lbTextShotCaption, 10, 0);
        gridLayout->addWidget(leTextShot, 10, 1);
        gridLayout->addWidget(pbTextShotChange, 10, 2);
        gridLayout->addWidget(lbTextShotHint, 11, 0, 1, 2);

        buttonBox = new QDialogButtonBox(dialog);
        buttonBox->setObjectName(QStringLiteral("buttonBox"));
        buttonBox->setOrientation(Qt::Horizontal);
        buttonBox->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        gridLayout->addWidget(buttonBox, 12, 0, 1, 3);

        lbSingleShotCaption->setBuddy(pbSingleShotChange);
        lbComparisonShotChange->setBuddy(pbComparisonShotChange);
        lbShowDropWidgetCaption->setBuddy(pbShowDropWidgetChange);
        lbLocalShotCaption->setBuddy(pbLocalShotChange);
        lbTextShotCaption->setBuddy(pbTextShotChange);
        retranslateUi(dialog);

        QObject::connect(buttonBox, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
        QObject::connect(buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    }

    void retranslateUi(QDialog* dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("dlgOptions", "Brightloom Options"));
        lbSingleShotCaption->setText(QCoreApplication::translate("dlgOptions", "&Single Shot Shortcut: "));
        pbSingleShotChange->setText(QCoreApplication::translate("dlgOptions", "C&hange"));
        lbComparisonShotChange->setText(
            QCoreApplication::translate("dlgOptions", "&Comparison Shot Shortcut: "));
        pbComparisonShotChange->setText(QCoreApplication::translate("dlgOptions", "Cha&nge"));
        lbShowDropWidgetCaption->setText(
            QCoreApplication::translate("dlgOptions", "Show &Drop Widget Shortcut:"));
        pbShowDropWidgetChange->setText(QCoreApplication::translate("dlgOptions", "Change"));
        lbLocalShotCaption->setText(QCoreApplication::translate("dlgOptions", "&Local Shot Shortcut:"));
        pbLocalShotChange->setText(QCoreApplication::translate("dlgOptions", "Change"));
        lbTextShotCaption->setText(QCoreApplication::translate("dlgOptions", "&Text Shot Shortcut:"));
        pbTextShotChange->setText(QCoreApplication::translate("dlgOptions", "Change"));
    }
};

} // namespace Ui

namespace {

constexpr int kRows = 5;
constexpr int kNonModifierEntry = 3;

bool isModifier(int key)
{
    return key == Qt::Key_Print || key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Meta ||
           key == Qt::Key_Alt;
}

// The key code to record for a press. On X11 the Windows key arrives as Super, which the
// hotkeys know as Meta; a keypad key keeps its keypad flag, so that the hotkey is grabbed
// on the keypad and not on the key of the same name elsewhere.
int recordedKey(const QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Super_L || key == Qt::Key_Super_R)
        return Qt::Key_Meta;
    const bool plain = isModifier(key) || key == Qt::Key_Comma || key == Qt::Key_Escape ||
                       key == Qt::Key_Return || key == Qt::Key_Enter;
    if (!plain && (event->modifiers() & Qt::KeypadModifier))
        return key | Qt::KeypadModifier;
    return key;
}

} // namespace

COptionsDialog::COptionsDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::dlgOptions>())
{
    m_pressEnterMessage = tr("Press 'Enter' to confirm or 'Esc' to cancel the sequence");
    m_noNonModifierMessage = tr("There must be at least one non-modifier key in the sequecne");
    m_singleComparisonClashMessage =
        tr("The sequences for single shot and comparison shot must be different");
    m_rowsClashMessage = tr("The sequences for %1 and %2 must be different");
    m_rowNames = QStringList{tr("single shot"), tr("comparison shot"), tr("show drop widget"),
                             tr("local shot"), tr("text shot")};
    for (const char* text : BL::Dialogs::kDefaultShortcuts)
        shortcutTexts << QString::fromLatin1(text);

    ui->setupUi(this);
    for (int row = 0; row < kRows; ++row)
        rowEdit(row)->setText(shortcutTexts[row]);
    setWindowIcon(QIcon(QStringLiteral(":cam.png")));
    grabbedKeys.resize(4);
    for (int row = 0; row < kRows; ++row)
        connect(rowButton(row), &QPushButton::clicked, this, &COptionsDialog::onChangeShortcutClicked);
    connect(this, &QDialog::accepted, this, &COptionsDialog::onAccepted);
    // Closed while recording (the window's close button): end the recording the way
    // Esc does, so the host hears it stopped and switches the hotkeys on again.
    connect(this, &QDialog::finished, this, [this] {
        if (grabbing)
            cancelGrabbing();
    });
}

COptionsDialog::~COptionsDialog() = default;

QLineEdit* COptionsDialog::rowEdit(int row) const
{
    QLineEdit* const edits[kRows] = {ui->leSingleShot, ui->leComparisonShotChange,
                                     ui->leShowDropWidgetShortcut, ui->leLocalShot, ui->leTextShot};
    return edits[row];
}

QLabel* COptionsDialog::rowHint(int row) const
{
    QLabel* const hints[kRows] = {ui->lbSingleHint, ui->lbComparisonHint, ui->lbShowDropWidgetShortcutHint,
                                  ui->lbLocalShotHint, ui->lbTextShotHint};
    return hints[row];
}

QPushButton* COptionsDialog::rowButton(int row) const
{
    QPushButton* const buttons[kRows] = {ui->pbSingleShotChange, ui->pbComparisonShotChange,
                                         ui->pbShowDropWidgetChange, ui->pbLocalShotChange,
                                         ui->pbTextShotChange};
    return buttons[row];
}

QPushButton* COptionsDialog::okButton() const
{
    return ui->buttonBox->button(QDialogButtonBox::Ok);
}

void COptionsDialog::setRowText(int row, const QString& text)
{
    shortcutTexts[row] = text;
    rowEdit(row)->setText(text);
}

void COptionsDialog::showHint(int row, const QString& text, bool error)
{
    if (error)
        rowHint(row)->setStyleSheet(QStringLiteral("color: red;"));
    rowHint(row)->setText(text);
    qCDebug(lcDialogs) << "options row" << row << (error ? "error:" : "hint:") << text;
}

void COptionsDialog::onChangeShortcutClicked()
{
    for (int row = 0; row < kRows; ++row)
        if (sender() == rowButton(row)) {
            editedRow = row;
            rowEdit(row)->clear();
            rowEdit(row)->setFocus(Qt::OtherFocusReason);
            showHint(row, m_pressEnterMessage, false);
        }
    grabbedKeys.fill(0);
    grabbing = true;
    modifierCount = 0;
    for (int row = 0; row < kRows; ++row)
        rowButton(row)->setEnabled(false);
    okButton()->setEnabled(false);
    // Every key pressed now is for the recorder: not for the row's field, the window
    // manager or another program's hotkey.
    grabKeyboard();
    emit startedChangingHotkey();
}

void COptionsDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    // Where nobody can ask the window system which window has the keyboard (Wayland), tests
    // learn it here before they type.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        qCDebug(lcDialogs) << "options dialog active";
}

void COptionsDialog::keyPressEvent(QKeyEvent* event)
{
    if (!grabbing) {
        QDialog::keyPressEvent(event);
        return;
    }
    const int k = recordedKey(event);
    // Locks are no part of a combination: the hotkeys work whatever state they are in.
    if (k == 0 || k == Qt::Key_unknown || k == Qt::Key_NumLock || k == Qt::Key_CapsLock ||
        k == Qt::Key_ScrollLock || grabbedKeys.contains(k))
        return;
    switch (k) {
    case Qt::Key_Comma:
        return;
    case Qt::Key_Escape:
        cancelGrabbing();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        finishGrabbing();
        return;
    default:
        break;
    }
    if (isModifier(k)) {
        if (modifierCount == kNonModifierEntry)
            return;
        grabbedKeys[modifierCount++] = k;
        qDebug().nospace() << "modifier: " << k;
    } else {
        grabbedKeys[kNonModifierEntry] = k;
        qDebug().nospace() << "non-modifier: " << k;
    }
    rowEdit(editedRow)->setText(stringizedSequence(grabbedKeys));
}

QString COptionsDialog::stringizedSequence(const QVector<int>& keys)
{
    static const QHash<int, QString> names = {
        {Qt::Key_Print, QStringLiteral("Print")},
        {Qt::Key_Shift, QStringLiteral("Shift")},
        {Qt::Key_Control, QStringLiteral("Ctrl")},
        {Qt::Key_Meta, QStringLiteral("Meta")},
        {Qt::Key_Alt, QStringLiteral("Alt")},
        {Qt::Key_Comma, QString()},
        {Qt::Key_Escape, QString()},
        {Qt::Key_Return, QString()},
        {Qt::Key_Enter, QString()},
    };
    QString text;
    for (int key : keys) {
        if (key == 0)
            continue;
        const QString name =
            names.contains(key) ? names.value(key) : QKeySequence(key).toString(QKeySequence::PortableText);
        text += text.isEmpty() ? name : QStringLiteral("+%1").arg(name);
    }
    return text;
}

QString COptionsDialog::clashMessage() const
{
    QString forms[kRows];
    for (int row = 0; row < kRows; ++row) {
        const QString text = rowEdit(row)->text();
        if (!text.isEmpty())
            forms[row] = QKeySequence(text, QKeySequence::NativeText).toString(QKeySequence::PortableText);
    }
    // Two rows with one combination leave one action unreachable. A clash of the edited
    // row is named first; one between two other rows (stored that way) is refused too.
    QString message;
    for (int first = 0; first < kRows; ++first)
        for (int second = first + 1; second < kRows; ++second) {
            if (forms[first].isEmpty() || forms[first] != forms[second])
                continue;
            const QString text = first == 0 && second == 1
                                     ? m_singleComparisonClashMessage
                                     : m_rowsClashMessage.arg(m_rowNames[first], m_rowNames[second]);
            if (first == editedRow || second == editedRow)
                return text;
            if (message.isEmpty())
                message = text;
        }
    return message;
}

void COptionsDialog::finishGrabbing()
{
    if (grabbedKeys[kNonModifierEntry] == 0) {
        showHint(editedRow, m_noNonModifierMessage, true);
        return;
    }
    if (const QString clash = clashMessage(); !clash.isEmpty()) {
        showHint(editedRow, clash, true);
        return;
    }
    shortcutTexts[editedRow] = rowEdit(editedRow)->text();
    qCDebug(lcDialogs) << "options row" << editedRow << "set to" << shortcutTexts[editedRow];
    leaveGrabbing();
}

void COptionsDialog::cancelGrabbing()
{
    rowEdit(editedRow)->setText(shortcutTexts[editedRow]);
    rowHint(editedRow)->clear();
    qCDebug(lcDialogs) << "options row" << editedRow << "kept" << shortcutTexts[editedRow];
    leaveGrabbing();
}

void COptionsDialog::leaveGrabbing()
{
    for (int row = 0; row < kRows; ++row) {
        rowHint(row)->setStyleSheet(QString());
        rowHint(row)->clear();
        rowButton(row)->setEnabled(true);
    }
    okButton()->setEnabled(true);
    grabbing = false;
    modifierCount = 0;
    grabbedKeys.fill(0);
    releaseKeyboard();
    emit stoppedChangingHotkey();
}

void COptionsDialog::onAccepted()
{
    for (int row = 0; row < kRows; ++row)
        if (!rowEdit(row)->text().isEmpty())
            shortcutTexts[row] = rowEdit(row)->text();
}
