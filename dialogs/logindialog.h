#pragma once

#include <QDialog>
#include <memory>

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

namespace Ui {

// The sign-in form, laid out the way a designer form would be: named layouts and widgets,
// texts set in retranslateUi under the context "dlgLogin".
class dlgLogin
{
public:
    void setupUi(QDialog* dialog);
    void retranslateUi(QDialog* dialog);

    QVBoxLayout* verticalLayout_3 = nullptr;
    QHBoxLayout* horizontalLayout_3 = nullptr;
    QVBoxLayout* verticalLayout = nullptr;
    QLabel* lbLoginCaption = nullptr;
    QLabel* lbPasswordCaption = nullptr;
    QVBoxLayout* verticalLayout_2 = nullptr;
    QLineEdit* lineEdit_login = nullptr;
    QLineEdit* lineEdit_password = nullptr;
    QHBoxLayout* horizontalLayout_2 = nullptr;
    QSpacerItem* horizontalSpacer_2 = nullptr;
    QLabel* lbInvalidEmail = nullptr;
    QSpacerItem* horizontalSpacer_3 = nullptr;
    QCheckBox* chbRememberMe = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;
    QPushButton* pbRegistration = nullptr;
    QSpacerItem* horizontalSpacer = nullptr;
    QPushButton* pbStayAsGuest = nullptr;
    QPushButton* pbSignIn = nullptr;
};

} // namespace Ui

// Asks for an e-mail address and a password and hands an acceptable pair to the host, which
// does the sign-in; it never closes itself on Sign In (the host closes it when the sign-in
// succeeds). Continue as Guest closes it without a word.
class CLoginDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CLoginDialog)

public:
    explicit CLoginDialog(QWidget* parent = nullptr);
    ~CLoginDialog() override;

    // Whether the whole text, as UTF-8, has the form of an e-mail address.
    static bool isAcceptableEmail(const QString& text);

signals:
    void registrationRequested();
    void loginRequested(const QString& name, const QString& passwd, bool rememberMe);

private slots:
    void onRegistrationRequested();
    void onLoginRequested();

private:
    std::unique_ptr<Ui::dlgLogin> ui;
};
