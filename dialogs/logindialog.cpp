#include "dialogs/logindialog.h"

#include "api/user.h"
#include "dialogs/logging.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <regex>

namespace {

QSpacerItem* expandingSpacer()
{
    return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

} // namespace

void Ui::dlgLogin::setupUi(QDialog* dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("dlgLogin"));
    // The order matters: setModal(false) after the modality leaves the run to exec().
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setModal(false);
    dialog->resize(457, 155);

    verticalLayout_3 = new QVBoxLayout(dialog);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));

    horizontalLayout_3 = new QHBoxLayout();
    horizontalLayout_3->setObjectName(QStringLiteral("horizontalLayout_3"));
    verticalLayout = new QVBoxLayout();
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    lbLoginCaption = new QLabel(dialog);
    lbLoginCaption->setObjectName(QStringLiteral("lbLoginCaption"));
    lbLoginCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    verticalLayout->addWidget(lbLoginCaption);
    lbPasswordCaption = new QLabel(dialog);
    lbPasswordCaption->setObjectName(QStringLiteral("lbPasswordCaption"));
    lbPasswordCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    verticalLayout->addWidget(lbPasswordCaption);
    horizontalLayout_3->addLayout(verticalLayout);

    verticalLayout_2 = new QVBoxLayout();
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    lineEdit_login = new QLineEdit(dialog);
    lineEdit_login->setObjectName(QStringLiteral("lineEdit_login"));
    lineEdit_login->setLayoutDirection(Qt::LeftToRight);
    lineEdit_login->setAlignment(Qt::AlignCenter);
    verticalLayout_2->addWidget(lineEdit_login);
    lineEdit_password = new QLineEdit(dialog);
    lineEdit_password->setObjectName(QStringLiteral("lineEdit_password"));
    lineEdit_password->setEchoMode(QLineEdit::Password);
    lineEdit_password->setAlignment(Qt::AlignCenter);
    verticalLayout_2->addWidget(lineEdit_password);
    horizontalLayout_3->addLayout(verticalLayout_2);
    verticalLayout_3->addLayout(horizontalLayout_3);

    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    horizontalSpacer_2 = expandingSpacer();
    horizontalLayout_2->addItem(horizontalSpacer_2);
    lbInvalidEmail = new QLabel(dialog);
    lbInvalidEmail->setObjectName(QStringLiteral("lbInvalidEmail"));
    horizontalLayout_2->addWidget(lbInvalidEmail);
    horizontalSpacer_3 = expandingSpacer();
    horizontalLayout_2->addItem(horizontalSpacer_3);
    chbRememberMe = new QCheckBox(dialog);
    chbRememberMe->setObjectName(QStringLiteral("chbRememberMe"));
    chbRememberMe->setLayoutDirection(Qt::RightToLeft);
    horizontalLayout_2->addWidget(chbRememberMe);
    verticalLayout_3->addLayout(horizontalLayout_2);

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    pbRegistration = new QPushButton(dialog);
    pbRegistration->setObjectName(QStringLiteral("pbRegistration"));
    horizontalLayout->addWidget(pbRegistration);
    horizontalSpacer = expandingSpacer();
    horizontalLayout->addItem(horizontalSpacer);
    pbStayAsGuest = new QPushButton(dialog);
    pbStayAsGuest->setObjectName(QStringLiteral("pbStayAsGuest"));
    horizontalLayout->addWidget(pbStayAsGuest);
    pbSignIn = new QPushButton(dialog);
    pbSignIn->setObjectName(QStringLiteral("pbSignIn"));
    horizontalLayout->addWidget(pbSignIn);
    verticalLayout_3->addLayout(horizontalLayout);

    QWidget::setTabOrder(lineEdit_login, lineEdit_password);
    QWidget::setTabOrder(lineEdit_password, chbRememberMe);
    QWidget::setTabOrder(chbRememberMe, pbSignIn);
    QWidget::setTabOrder(pbSignIn, pbRegistration);
    QWidget::setTabOrder(pbRegistration, pbStayAsGuest);

    retranslateUi(dialog);
}

void Ui::dlgLogin::retranslateUi(QDialog* dialog)
{
    dialog->setWindowTitle(QCoreApplication::translate("dlgLogin", "Brightloom ~ Sign In"));
    lbLoginCaption->setText(QCoreApplication::translate("dlgLogin", "Login:"));
    lbPasswordCaption->setText(QCoreApplication::translate("dlgLogin", "Password:"));
    lbInvalidEmail->setText(QCoreApplication::translate(
        "dlgLogin", "<html><head/><body><p><span style=\" color:#ff0000;\">Invalid e-mail "
                    "address</span></p></body></html>"));
    chbRememberMe->setText(QCoreApplication::translate("dlgLogin", "Remember me"));
    pbRegistration->setText(QCoreApplication::translate("dlgLogin", "Registration"));
    pbStayAsGuest->setText(QCoreApplication::translate("dlgLogin", "Continue as Guest"));
    pbSignIn->setText(QCoreApplication::translate("dlgLogin", "Sign In"));
}

CLoginDialog::CLoginDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::dlgLogin>())
{
    ui->setupUi(this);
    // Created after the settings were read, so a remembered name is offered again.
    const QString remembered = CUser::instance()->userInfo().userName;
    if (!remembered.isEmpty())
        ui->lineEdit_login->setText(remembered);
    connect(ui->pbRegistration, &QPushButton::clicked, this, &CLoginDialog::onRegistrationRequested);
    connect(ui->pbSignIn, &QPushButton::clicked, this, &CLoginDialog::onLoginRequested);
    connect(ui->pbStayAsGuest, &QPushButton::clicked, this, &QDialog::close);
    ui->lbInvalidEmail->hide();
}

CLoginDialog::~CLoginDialog() = default;

bool CLoginDialog::isAcceptableEmail(const QString& text)
{
    // Compiled once, on the first check: std::regex is slow to build, and a program that waits
    // in the tray should not hold it until somebody signs in.
    static const std::regex pattern("^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\\.[a-zA-Z0-9-.]+$",
                                    std::regex::ECMAScript);
    return std::regex_match(text.toUtf8().toStdString(), pattern);
}

void CLoginDialog::onRegistrationRequested()
{
    emit registrationRequested();
}

void CLoginDialog::onLoginRequested()
{
    const QString login = ui->lineEdit_login->text();
    if (!isAcceptableEmail(login)) {
        qCDebug(lcDialogs) << "sign-in refused: the login is not an e-mail address";
        ui->lbInvalidEmail->show();
        return;
    }
    ui->lbInvalidEmail->hide();
    emit loginRequested(login, ui->lineEdit_password->text(), ui->chbRememberMe->isChecked());
}
