#include "dialogs/chooselocaldirdialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Ui {

// The dialog's form, laid out as a designer form would be, so its object names and
// translation context stay those of the form.
class dlgChooseLocalDir
{
public:
    QVBoxLayout* verticalLayout = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;
    QLabel* lbDir = nullptr;
    QLineEdit* leDir = nullptr;
    QPushButton* pbBrowse = nullptr;
    QDialogButtonBox* buttonBox = nullptr;

    void setupUi(QDialog* dialog)
    {
        dialog->setObjectName(QStringLiteral("dlgChooseLocalDir"));
        dialog->resize(470, 72);
        dialog->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

        verticalLayout = new QVBoxLayout(dialog);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        horizontalLayout = new QHBoxLayout;
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        lbDir = new QLabel(dialog);
        lbDir->setObjectName(QStringLiteral("lbDir"));
        horizontalLayout->addWidget(lbDir);
        leDir = new QLineEdit(dialog);
        leDir->setObjectName(QStringLiteral("leDir"));
        horizontalLayout->addWidget(leDir);
        pbBrowse = new QPushButton(dialog);
        pbBrowse->setObjectName(QStringLiteral("pbBrowse"));
        horizontalLayout->addWidget(pbBrowse);
        verticalLayout->addLayout(horizontalLayout);

        buttonBox = new QDialogButtonBox(dialog);
        buttonBox->setObjectName(QStringLiteral("buttonBox"));
        buttonBox->setOrientation(Qt::Horizontal);
        buttonBox->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        verticalLayout->addWidget(buttonBox);

        lbDir->setBuddy(leDir);
        retranslateUi(dialog);

        QObject::connect(buttonBox, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
        QObject::connect(buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    }

    void retranslateUi(QDialog* dialog)
    {
        dialog->setWindowTitle(
            QCoreApplication::translate("dlgChooseLocalDir", "Choose directory to store screenshots"));
        lbDir->setText(QCoreApplication::translate("dlgChooseLocalDir", "Directory:"));
        pbBrowse->setText(QCoreApplication::translate("dlgChooseLocalDir", "&Browse..."));
    }
};

} // namespace Ui

CChooseLocalDirDialog::CChooseLocalDirDialog(const QString& initialDir, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::dlgChooseLocalDir>())
{
    ui->setupUi(this);
    // Set before the slots are connected: the OK button starts enabled whatever the text is.
    ui->leDir->setText(initialDir);
    connect(ui->pbBrowse, &QPushButton::clicked, this, &CChooseLocalDirDialog::onBrowseClicked);
    connect(ui->leDir, &QLineEdit::textChanged, this, &CChooseLocalDirDialog::onDirTextChanged);
}

CChooseLocalDirDialog::~CChooseLocalDirDialog() = default;

QString CChooseLocalDirDialog::selectedDirectory() const
{
    return ui->leDir->text();
}

void CChooseLocalDirDialog::onBrowseClicked()
{
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("Choose directory"), QString(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty())
        ui->leDir->setText(dir);
}

void CChooseLocalDirDialog::onDirTextChanged(const QString& path)
{
    ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(!path.isEmpty() && QFile::exists(path));
}
