// The sign-in dialog, driven by typed keys and clicks: the address check, what it hands on,
// and what it leaves to its host.
#include "api/user.h"
#include "dialogs/logindialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {

template<typename T> T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}

} // namespace

class TestLoginDialog : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void formAsLaidOut();
    void addressCheck_data();
    void addressCheck();
    void correctedAddressIsHandedOnWithPasswordAndRemember();
    void registrationAndGuest();
    void rememberedNameIsOffered();
};

void TestLoginDialog::cleanup()
{
    CUser::instance()->signOut();
}

void TestLoginDialog::formAsLaidOut()
{
    CLoginDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Brightloom ~ Sign In"));
    QCOMPARE(dialog.size(), QSize(457, 155));
    QVERIFY(!dialog.isModal());

    auto* login = child<QLineEdit>(&dialog, "lineEdit_login");
    auto* password = child<QLineEdit>(&dialog, "lineEdit_password");
    auto* remember = child<QCheckBox>(&dialog, "chbRememberMe");
    auto* invalid = child<QLabel>(&dialog, "lbInvalidEmail");
    auto* signIn = child<QPushButton>(&dialog, "pbSignIn");
    auto* registration = child<QPushButton>(&dialog, "pbRegistration");
    auto* guest = child<QPushButton>(&dialog, "pbStayAsGuest");
    QVERIFY(login && password && remember && invalid && signIn && registration && guest);
    QCOMPARE(child<QLabel>(&dialog, "lbLoginCaption")->text(), QStringLiteral("Login:"));
    QCOMPARE(child<QLabel>(&dialog, "lbPasswordCaption")->text(), QStringLiteral("Password:"));
    QCOMPARE(child<QLabel>(&dialog, "lbLoginCaption")->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(remember->text(), QStringLiteral("Remember me"));
    QCOMPARE(remember->layoutDirection(), Qt::RightToLeft);
    QCOMPARE(signIn->text(), QStringLiteral("Sign In"));
    QCOMPARE(registration->text(), QStringLiteral("Registration"));
    QCOMPARE(guest->text(), QStringLiteral("Continue as Guest"));
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QCOMPARE(login->alignment(), Qt::AlignCenter);
    QCOMPARE(invalid->text(),
             QStringLiteral("<html><head/><body><p><span style=\" color:#ff0000;\">Invalid e-mail "
                            "address</span></p></body></html>"));
    QVERIFY(invalid->isHidden());
    QVERIFY(login->text().isEmpty());

    // The three rows, top to bottom, with the buttons in reading order.
    auto* rows = child<QVBoxLayout>(&dialog, "verticalLayout_3");
    QVERIFY(rows);
    QCOMPARE(rows->count(), 3);
    QCOMPARE(rows->itemAt(0)->layout()->objectName(), QStringLiteral("horizontalLayout_3"));
    QLayout* buttons = rows->itemAt(2)->layout();
    QCOMPARE(buttons->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(buttons->itemAt(0)->widget(), registration);
    QVERIFY(buttons->itemAt(1)->spacerItem());
    QCOMPARE(buttons->itemAt(2)->widget(), guest);
    QCOMPARE(buttons->itemAt(3)->widget(), signIn);

    // Tab walks login, password, remember, Sign In, Registration, Guest.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    login->setFocus();
    const QList<QWidget*> order = {password, remember, signIn, registration, guest, login};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestLoginDialog::addressCheck_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("plain") << "ann@example.org" << true;
    QTest::newRow("local part signs") << "a.b+c-d_e9@example.org" << true;
    QTest::newRow("domain dots and hyphens after the first dot") << "x@mail.ex-ample.co.uk" << true;
    QTest::newRow("no dot after the at sign") << "ann@localhost" << false;
    QTest::newRow("a blank") << "ann smith@example.org" << false;
    QTest::newRow("trailing blank, not trimmed") << "ann@example.org " << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("no at sign") << "example.org" << false;
    QTest::newRow("non-ASCII letter") << QStringLiteral("j\u00f6rg@example.org") << false;
    QTest::newRow("underscore in the domain") << "ann@exa_mple.org" << false;
}

void TestLoginDialog::addressCheck()
{
    QFETCH(QString, login);
    QFETCH(bool, accepted);
    CLoginDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy requested(&dialog, &CLoginDialog::loginRequested);
    auto* edit = child<QLineEdit>(&dialog, "lineEdit_login");
    // QTest types ASCII only; other letters go in as an input method would put them.
    bool ascii = true;
    for (const QChar c : login)
        ascii = ascii && c.unicode() < 128;
    if (ascii)
        QTest::keyClicks(edit, login);
    else
        edit->insert(login);
    QCOMPARE(edit->text(), login);
    QTest::keyClicks(child<QLineEdit>(&dialog, "lineEdit_password"), QStringLiteral("pw"));
    QTest::mouseClick(child<QPushButton>(&dialog, "pbSignIn"), Qt::LeftButton);
    QCOMPARE(requested.count(), accepted ? 1 : 0);
    QCOMPARE(child<QLabel>(&dialog, "lbInvalidEmail")->isVisible(), !accepted);
    // The dialog never closes itself on Sign In: the host closes it after a good sign-in.
    QVERIFY(dialog.isVisible());
}

void TestLoginDialog::correctedAddressIsHandedOnWithPasswordAndRemember()
{
    CLoginDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy requested(&dialog, &CLoginDialog::loginRequested);
    auto* login = child<QLineEdit>(&dialog, "lineEdit_login");
    auto* invalid = child<QLabel>(&dialog, "lbInvalidEmail");
    QTest::keyClicks(login, QStringLiteral("bob@example"));
    QTest::keyClick(login, Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("s3cret pass"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); // Remember me
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); // Sign In
    QCOMPARE(requested.count(), 0);
    QVERIFY(invalid->isVisible());

    login->setFocus();
    QTest::keyClick(login, Qt::Key_End);
    QTest::keyClicks(login, QStringLiteral(".net"));
    QTest::mouseClick(child<QPushButton>(&dialog, "pbSignIn"), Qt::LeftButton);
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).toString(), QStringLiteral("bob@example.net"));
    QCOMPARE(requested.at(0).at(1).toString(), QStringLiteral("s3cret pass"));
    QCOMPARE(requested.at(0).at(2).toBool(), true);
    QVERIFY(invalid->isHidden());

    // An empty password is handed on as it is: the service decides.
    child<QLineEdit>(&dialog, "lineEdit_password")->clear();
    child<QCheckBox>(&dialog, "chbRememberMe")->setChecked(false);
    QTest::mouseClick(child<QPushButton>(&dialog, "pbSignIn"), Qt::LeftButton);
    QCOMPARE(requested.count(), 2);
    QCOMPARE(requested.at(1).at(1).toString(), QString());
    QCOMPARE(requested.at(1).at(2).toBool(), false);
}

void TestLoginDialog::registrationAndGuest()
{
    CLoginDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy registration(&dialog, &CLoginDialog::registrationRequested);
    QSignalSpy requested(&dialog, &CLoginDialog::loginRequested);
    QSignalSpy finished(&dialog, &QDialog::finished);
    QTest::mouseClick(child<QPushButton>(&dialog, "pbRegistration"), Qt::LeftButton);
    QCOMPARE(registration.count(), 1);
    QVERIFY(dialog.isVisible());

    QTest::mouseClick(child<QPushButton>(&dialog, "pbStayAsGuest"), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QCOMPARE(registration.count(), 1);
    QCOMPARE(requested.count(), 0);
}

void TestLoginDialog::rememberedNameIsOffered()
{
    CUser::instance()->setUserInfo(QStringLiteral("kept@example.org"), QStringLiteral("pw"), true);
    CLoginDialog dialog;
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_login")->text(), QStringLiteral("kept@example.org"));
    QVERIFY(child<QLineEdit>(&dialog, "lineEdit_password")->text().isEmpty());
}

QTEST_MAIN(TestLoginDialog)
#include "tst_login.moc"
