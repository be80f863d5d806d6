// The URL input dialog and the storage directory dialog, driven by typed keys.
#include "dialogs/chooselocaldirdialog.h"
#include "dialogs/urlinputdialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

template<typename T> T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}

// Replaces the whole text as a user would: select all, then type.
void retype(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

} // namespace

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void urlDialogForm();
    void urlChecks_data();
    void urlChecks();
    void urlDeletingAllTextClearsTheError();
    void urlEnterAcceptsOnlyWhenOkIsEnabled();

    void dirDialogForm();
    void dirOkFollowsTheTypedPath();
    void dirBrowse();
};

void TestForms::urlDialogForm()
{
    CUrlInputDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Upload image from URL"));
    auto* edit = child<QLineEdit>(&dialog, "urlEdit");
    auto* error = child<QLabel>(&dialog, "errorLabel");
    auto* buttons = child<QDialogButtonBox>(&dialog, "buttons");
    QVERIFY(edit && error && buttons);
    QLabel* prompt = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (label->text() == QStringLiteral("Enter U&RL:"))
            prompt = label;
    QVERIFY(prompt);
    QCOMPARE(prompt->buddy(), edit);
    QCOMPARE(error->text(), QStringLiteral(" "));
    QCOMPARE(error->styleSheet(), QStringLiteral("color: red;"));
    QVERIFY(!buttons->button(QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(buttons->button(QDialogButtonBox::Cancel)->isEnabled());
    QCOMPARE(dialog.minimumWidth(), 440);
}

void TestForms::urlChecks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host"); // of the URL the dialog hands out, when valid
    QTest::addColumn<int>("port");
    QTest::newRow("http") << QStringLiteral("http://example.com/a.png") << true
                          << QStringLiteral("example.com") << -1;
    QTest::newRow("https, port, query") << QStringLiteral("https://img.my-site.co.uk:8080/p/a.png?x=1&y=a+b")
                                        << true << QStringLiteral("img.my-site.co.uk") << 8080;
    QTest::newRow("host only") << QStringLiteral("https://example.org") << true
                               << QStringLiteral("example.org") << -1;
    QTest::newRow("upper-case host") << QStringLiteral("http://Example.com/a.png") << false << QString()
                                     << -1;
    QTest::newRow("upper-case scheme")
        << QStringLiteral("HTTP://example.com/a.png") << false << QString() << -1;
    QTest::newRow("no scheme") << QStringLiteral("example.com/a.png") << false << QString() << -1;
    QTest::newRow("ftp") << QStringLiteral("ftp://example.com/a.png") << false << QString() << -1;
    QTest::newRow("scheme only") << QStringLiteral("https://") << false << QString() << -1;
    // Matched by the pattern, but QUrl refuses them or reads another host out of them.
    QTest::newRow("space in the host")
        << QStringLiteral("http://ab cd.com/a.png") << false << QString() << -1;
    QTest::newRow("port out of range")
        << QStringLiteral("http://example.com:999999/a.png") << false << QString() << -1;
    QTest::newRow("backslash at") << QStringLiteral("http://example.com\\@evil.org/a.png") << false
                                  << QString() << -1;
    QTest::newRow("user info") << QStringLiteral("http://example.com@evil.org/a.png") << false << QString()
                               << -1;
}

void TestForms::urlChecks()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    CUrlInputDialog dialog;
    auto* edit = child<QLineEdit>(&dialog, "urlEdit");
    auto* error = child<QLabel>(&dialog, "errorLabel");
    QPushButton* ok = child<QDialogButtonBox>(&dialog, "buttons")->button(QDialogButtonBox::Ok);

    QTest::keyClicks(edit, text);
    QCOMPARE(ok->isEnabled(), valid);
    QCOMPARE(error->text(), valid ? QStringLiteral(" ") : QStringLiteral("Invalid URL"));
    QCOMPARE(edit->styleSheet(), valid ? QString() : QStringLiteral("color: red;"));
    QFETCH(QString, host);
    QFETCH(int, port);
    // What the host uploads is the typed text, "&" and "+" untouched, and it names the host typed.
    if (valid) {
        QVERIFY(dialog.url().isValid());
        QCOMPARE(dialog.url().host(), host);
        QCOMPARE(dialog.url().port(), port);
        QCOMPARE(dialog.url().toString(QUrl::FullyEncoded), text);
    }
}

void TestForms::urlDeletingAllTextClearsTheError()
{
    CUrlInputDialog dialog;
    auto* edit = child<QLineEdit>(&dialog, "urlEdit");
    auto* error = child<QLabel>(&dialog, "errorLabel");
    QPushButton* ok = child<QDialogButtonBox>(&dialog, "buttons")->button(QDialogButtonBox::Ok);

    QTest::keyClicks(edit, QStringLiteral("http://example.com"));
    QVERIFY(ok->isEnabled());
    // Shortened back to the bare scheme, the address no longer passes.
    while (edit->text() != QStringLiteral("http://"))
        QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(error->text(), QStringLiteral("Invalid URL"));
    QCOMPARE(edit->styleSheet(), QStringLiteral("color: red;"));
    QVERIFY(!ok->isEnabled());
    while (!edit->text().isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(error->text(), QStringLiteral(" "));
    QCOMPARE(edit->styleSheet(), QString());
    QVERIFY(!ok->isEnabled());
}

void TestForms::urlEnterAcceptsOnlyWhenOkIsEnabled()
{
    CUrlInputDialog dialog;
    auto* edit = child<QLineEdit>(&dialog, "urlEdit");
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    edit->setFocus();

    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Enter);
    QTest::keyClicks(edit, QStringLiteral("ftp://example.com/a.png"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(dialog.isVisible());

    retype(edit, QStringLiteral("https://example.com/a.png"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.url(), QUrl(QStringLiteral("https://example.com/a.png")));
}

void TestForms::dirDialogForm()
{
    CChooseLocalDirDialog dialog(QStringLiteral("/no/such/dir"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Choose directory to store screenshots"));
    QCOMPARE(dialog.size(), QSize(470, 72));
    auto* edit = child<QLineEdit>(&dialog, "leDir");
    auto* label = child<QLabel>(&dialog, "lbDir");
    auto* browse = child<QPushButton>(&dialog, "pbBrowse");
    auto* box = child<QDialogButtonBox>(&dialog, "buttonBox");
    QVERIFY(edit && label && browse && box);
    QCOMPARE(label->text(), QStringLiteral("Directory:"));
    QCOMPARE(label->buddy(), edit);
    QCOMPARE(browse->text(), QStringLiteral("&Browse..."));
    QCOMPARE(edit->text(), QStringLiteral("/no/such/dir"));
    // The directory of the settings may be gone; the user sees OK until the text is edited.
    QVERIFY(box->button(QDialogButtonBox::Ok)->isEnabled());

    QSignalSpy accepted(&dialog, &QDialog::accepted);
    box->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(dialog.selectedDirectory(), QStringLiteral("/no/such/dir"));
}

void TestForms::dirOkFollowsTheTypedPath()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("shots")));
    CChooseLocalDirDialog dialog(root.path());
    auto* edit = child<QLineEdit>(&dialog, "leDir");
    QPushButton* ok = child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Ok);

    QTest::keyClicks(edit, QStringLiteral("/sho"));
    QVERIFY(!ok->isEnabled());
    QTest::keyClicks(edit, QStringLiteral("ts"));
    QVERIFY(ok->isEnabled());
    // Returned as typed: the trailing separator stays.
    QTest::keyClicks(edit, QStringLiteral("/"));
    QVERIFY(ok->isEnabled());
    QCOMPARE(dialog.selectedDirectory(), root.path() + QStringLiteral("/shots/"));

    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QVERIFY(!ok->isEnabled());
    QCOMPARE(dialog.selectedDirectory(), QString());
}

// The directory chooser is the widget-based one here; answer it from the event loop.
void TestForms::dirBrowse()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString picked = QDir(root.path()).filePath(QStringLiteral("picked"));
    QVERIFY(QDir().mkpath(picked));
    CChooseLocalDirDialog dialog(QStringLiteral("typed/by/hand"));
    auto* edit = child<QLineEdit>(&dialog, "leDir");
    auto* browse = child<QPushButton>(&dialog, "pbBrowse");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QString caption;
    auto answer = [&caption](const QString& choice) {
        QTimer::singleShot(0, [&caption, choice] {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(chooser);
            caption = chooser->windowTitle();
            if (choice.isEmpty()) {
                chooser->reject();
            } else {
                chooser->setDirectory(choice);
                chooser->selectFile(choice);
                static_cast<QDialog*>(chooser)->accept(); // QFileDialog::accept, checks the choice
            }
        });
    };

    answer(QString());
    browse->click();
    QCOMPARE(caption, QStringLiteral("Choose directory"));
    QCOMPARE(edit->text(), QStringLiteral("typed/by/hand"));

    answer(picked);
    browse->click();
    QCOMPARE(edit->text(), picked);
    QCOMPARE(dialog.selectedDirectory(), picked);
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
