// The real program against the real web service: a refused upload reaches the person as the
// service's reason in the balloon, not as a network error.
#include "serviceprocess.h"
#include "x11session.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

class TestRefusals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nonPictureUrlShowsTheServiceReason();

private:
    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<CProgram> m_program;
};

void TestRefusals::initTestCase()
{
    QVERIFY(m_root.isValid());
    // Private fetches allowed: the "picture" is one of the service's own pages on loopback.
    QVERIFY2(m_service.start(m_root.filePath("service"), {"--allow-private-fetch"}),
             qPrintable(m_service.log()));
}

void TestRefusals::cleanupTestCase()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    m_service.stop();
}

void TestRefusals::nonPictureUrlShowsTheServiceReason()
{
    const QString user = m_root.filePath("user");
    QProcessEnvironment env = privateUserEnvironment(user);
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    {
        QSettings stored(user + QStringLiteral("/config/Brightloom/Brightloom.conf"), QSettings::IniFormat);
        stored.setValue(QStringLiteral("show_pre_help"), true);
        stored.setValue(QStringLiteral("show_paste_help"), true);
    }
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    QVERIFY(m_program->start());
    QVERIFY(!m_program->waitForTrayIcon(before).isEmpty());

    QVERIFY(chooseTrayEntry(*m_program, 2)); // "Upload image from U&RL..."
    QVERIFY(!waitForWindow(QStringLiteral("Upload image from URL")).isEmpty());
    // An HTML page, not a picture; the dialog takes host names only, and localhost is loopback.
    xdotool({"type", "--delay", "5", QStringLiteral("http://localhost:%1/about").arg(m_service.port())});
    xdotool({"key", "Return"});
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Critical"), 20000);
    const QString output = m_program->errorOutput();
    QVERIFY2(output.contains(QStringLiteral("Uploading failed.\nnot a PNG or JPEG image")),
             qPrintable(output));
    QVERIFY(!output.contains(QStringLiteral("Network error")));
    QVERIFY(!output.contains(QStringLiteral("succesfully")));
}

QTEST_MAIN(TestRefusals)
#include "tst_refusals.moc"
