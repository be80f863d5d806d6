// The real program against two service nodes on one PostgreSQL database behind nginx, all started
// by the test: the balancer sends the reservation to one node and the upload to the other.
#include "nginx_balancer.h"
#include "postgres_cluster.h"
#include "server_process.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

class TestNodes : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void shotReservedOnOneNodeUploadedThroughTheOther();

private:
    std::unique_ptr<CProgram> m_program;
};

void TestNodes::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

void TestNodes::shotReservedOnOneNodeUploadedThroughTheOther()
{
    QTemporaryDir root;
    CPostgresCluster cluster;
    QVERIFY2(cluster.error().isEmpty(), qPrintable(cluster.error()));
    const std::string database = cluster.createDatabase("shots");
    QVERIFY(!database.empty());

    // The links name the balancer, whichever node made them.
    const int balancerPort = freeLoopbackPort();
    const QString publicUrl = QStringLiteral("http://127.0.0.1:%1").arg(balancerPort);
    const QStringList nodeArgs{"--database",      QString::fromStdString(database),
                               "--objects",       root.filePath("objects"),
                               "--hash-key",      root.filePath("hash.key"),
                               "--public-url",    publicUrl,
                               "--trusted-proxy", "127.0.0.1"};
    CServiceProcess reserving;
    CServiceProcess uploading;
    QVERIFY2(reserving.start(root.filePath("node-a"), nodeArgs), qPrintable(reserving.log()));
    QVERIFY2(uploading.start(root.filePath("node-b"), nodeArgs), qPrintable(uploading.log()));
    CNginxBalancer nginx({reserving.port(), uploading.port()},
                         {{"/api/reserve_code", reserving.port()}, {"/api/upload.php", uploading.port()}},
                         balancerPort);
    QVERIFY2(nginx.error().isEmpty(), qPrintable(nginx.error()));

    const QString user = root.filePath("user");
    QProcessEnvironment env = privateUserEnvironment(user);
    env.insert(QStringLiteral("BL_SERVICE_HOST"), QStringLiteral("127.0.0.1:%1").arg(balancerPort));
    m_program = startDockedProgram(user, env, {{"show_pre_help", true}, {"show_paste_help", true}});
    QVERIFY(m_program);

    const QString before = clipboard();
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), 15000);
    drag({100, 100}, {300, 250});
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."), 30000);
    const QString link = clipboard();
    QVERIFY2(link != before && link.startsWith(publicUrl + "/"), qPrintable(link));

    // Each node did its half of the work...
    // (A node writes its access line once the reply is out.)
    QTRY_VERIFY_WITH_TIMEOUT(reserving.log().contains("\"POST /api/reserve_code\" 200"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(uploading.log().contains("\"POST /api/upload.php\" 200"), 5000);
    QVERIFY(!reserving.log().contains("/api/upload.php"));
    QVERIFY(!uploading.log().contains("/api/reserve_code"));
    // ...and the link serves the picture through the balancer and from both nodes.
    const QString code = link.mid(publicUrl.size() + 1);
    for (const QString& base : {publicUrl, reserving.baseUrl(), uploading.baseUrl()}) {
        const SHttpResult picture = httpGet(base + "/" + code + ".png");
        QCOMPARE(picture.status, 200);
        QCOMPARE(QImage::fromData(picture.body, "PNG").size(), QSize(201, 151));
    }
}

QTEST_MAIN(TestNodes)
#include "tst_nodes.moc"
