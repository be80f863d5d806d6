// The Linux file managers' "Upload with Brightloom": the three entries exist while the
// program runs, call the client with the chosen files, and never cost the person a file.
#include "shell/filemanagerentries.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using BL::Shell::CFileManagerEntries;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString keyValue(const QByteArray& content, const QByteArray& key)
{
    for (const QByteArray& line : content.split('\n'))
        if (line.startsWith(key + '='))
            return QString::fromUtf8(line.mid(key.size() + 1));
    return QString();
}

} // namespace

class TestEntries : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void entriesExistWhileRunningAndGoAtExit();
    void entriesCallTheClientWithTheChosenFiles();
    void personsFilesOfTheSameNameAreNeverTouched();
    void leftoversOfAKilledRunAreReplacedAndRemoved();
    void filesChangedDuringTheRunAreLeftAtExit();
    void clientPathThatCannotBeWrittenGivesNoEntry();

private:
    std::unique_ptr<CFileManagerEntries> entries(const QString& client = QString()) const
    {
        return std::make_unique<CFileManagerEntries>(m_data, client.isEmpty() ? m_client : client,
                                                     QStringList{"image/jpeg", "image/png"});
    }
    QStringList paths() const
    {
        return {m_data + "/applications/brightloom-upload.desktop",
                m_data + "/kio/servicemenus/brightloom-upload.desktop",
                m_data + "/nautilus/scripts/Upload with Brightloom"};
    }
    QStringList recordedArguments() const
    {
        const QString text = QString::fromUtf8(readAll(m_record));
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_data;
    QString m_client;
    QString m_record;
};

void TestEntries::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_data = m_root->filePath("data");
    m_record = m_root->filePath("arguments");
    // Everything a desktop entry or a shell could take for syntax, in the client's folder.
    const QString dir = m_root->filePath(QStringLiteral("it's \"odd\" $HOME 100% `x` back\\slash; (a|b) #1"));
    QVERIFY(QDir().mkpath(dir));
    m_client = dir + "/brightloom-upload";
    QVERIFY(writeAll(m_client, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$BL_RECORD\"\n"));
    QVERIFY(QFile::setPermissions(m_client, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestEntries::entriesExistWhileRunningAndGoAtExit()
{
    auto registration = entries();
    registration->registerExtension();
    QCOMPARE(registration->writtenFiles(), paths());

    const QByteArray openWith = readAll(paths()[0]);
    QCOMPARE(keyValue(openWith, "Type"), QStringLiteral("Application"));
    QCOMPARE(keyValue(openWith, "Name"), QStringLiteral("Upload with Brightloom"));
    QCOMPARE(keyValue(openWith, "MimeType"), QStringLiteral("image/jpeg;image/png;"));
    // Only under "Open With", never among the applications.
    QCOMPARE(keyValue(openWith, "NoDisplay"), QStringLiteral("true"));
    const QByteArray serviceMenu = readAll(paths()[1]);
    QCOMPARE(keyValue(serviceMenu, "Type"), QStringLiteral("Service"));
    QCOMPARE(keyValue(serviceMenu, "MimeType"), QStringLiteral("image/jpeg;image/png;"));
    QCOMPARE(keyValue(serviceMenu, "Name"), QStringLiteral("Upload with Brightloom"));
    QVERIFY(QFileInfo(paths()[1]).isExecutable());
    QVERIFY(QFileInfo(paths()[2]).isExecutable());
    for (const QString& path : paths())
        QVERIFY2(CFileManagerEntries::isOurs(readAll(path)), qPrintable(path));

    registration->unregisterExtension();
    for (const QString& path : paths())
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    QVERIFY(registration->writtenFiles().isEmpty());
    // Only files go; the folders may hold the person's own entries.
    QVERIFY(QFileInfo(m_data + "/nautilus/scripts").isDir());
}

void TestEntries::entriesCallTheClientWithTheChosenFiles()
{
    const QString files = m_root->filePath("files");
    QVERIFY(QDir().mkpath(files));
    const QString plain = files + "/shot.png";
    const QString spaced = files + "/my \"best\" shot $1 100%.png";
    QVERIFY(writeAll(plain, "x") && writeAll(spaced, "x"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("BL_RECORD", m_record);
    const QString gio = QStandardPaths::findExecutable("gio");
    QVERIFY2(!gio.isEmpty(), "gio (libglib2.0-bin) is needed to launch the desktop entry");
    // The odd client folder, and one with nothing but a blank to quote.
    const QString plainClient = m_root->filePath("plain build/brightloom-upload");
    QVERIFY(QDir().mkpath(QFileInfo(plainClient).absolutePath()) && QFile::copy(m_client, plainClient));

    for (const QString& client : {m_client, plainClient}) {
        auto registration = entries(client);
        registration->registerExtension();
        QCOMPARE(registration->writtenFiles().size(), 3);

        // The desktop entry as GLib's own launcher reads it.
        QFile::remove(m_record);
        QProcess launch;
        launch.setProcessEnvironment(env);
        launch.start(gio, {"launch", paths()[0], plain, spaced});
        QVERIFY(launch.waitForFinished(10000));
        QVERIFY2(launch.exitCode() == 0, launch.readAllStandardError().constData());
        QTRY_COMPARE(recordedArguments(), (QStringList{"--", plain, spaced}));
        // The service menu runs the same command line.
        QCOMPARE(keyValue(readAll(paths()[1]), "Exec"), keyValue(readAll(paths()[0]), "Exec"));

        // Nautilus starts the script in the folder shown, with the chosen names.
        QFile::remove(m_record);
        QProcess script;
        script.setProcessEnvironment(env);
        script.setWorkingDirectory(files);
        script.start(paths()[2], {"shot.png", QFileInfo(spaced).fileName(), "-dash.png"});
        QVERIFY(script.waitForFinished(10000));
        QCOMPARE(script.exitCode(), 0);
        QCOMPARE(recordedArguments(),
                 (QStringList{"--", "shot.png", QFileInfo(spaced).fileName(), "-dash.png"}));
        registration->unregisterExtension();
    }
}

void TestEntries::personsFilesOfTheSameNameAreNeverTouched()
{
    // One written by hand, one of ours that the person edited, one link to our content.
    auto reference = entries();
    const QList<BL::Shell::SFileManagerEntry> ours = reference->entries();
    QCOMPARE(ours.size(), 3);
    QByteArray edited = ours[1].content;
    edited.replace("Name=Upload with Brightloom", "Name=Upload it");
    QVERIFY(edited != ours[1].content);
    const QList<QByteArray> personal = {"[Desktop Entry]\nName=My own\n", edited};
    QVERIFY(writeAll(paths()[0], personal[0]));
    QVERIFY(writeAll(paths()[1], personal[1]));
    QVERIFY(writeAll(m_root->filePath("target"), ours[2].content));
    QVERIFY(QDir().mkpath(QFileInfo(paths()[2]).absolutePath()));
    QVERIFY(QFile::link(m_root->filePath("target"), paths()[2]));

    auto registration = entries();
    registration->registerExtension();
    QVERIFY(registration->writtenFiles().isEmpty());
    registration->unregisterExtension();
    QCOMPARE(readAll(paths()[0]), personal[0]);
    QCOMPARE(readAll(paths()[1]), personal[1]);
    QVERIFY(QFileInfo(paths()[2]).isSymLink());
    QCOMPARE(readAll(m_root->filePath("target")), ours[2].content);
}

void TestEntries::leftoversOfAKilledRunAreReplacedAndRemoved()
{
    const QString oldClient = m_root->filePath("old build/brightloom-upload");
    auto killed = entries(oldClient);
    killed->registerExtension(); // and never unregistered
    QCOMPARE(killed->writtenFiles().size(), 3);

    auto next = entries();
    next->registerExtension();
    QCOMPARE(next->writtenFiles(), paths());
    QVERIFY(keyValue(readAll(paths()[0]), "Exec").contains(QStringLiteral("brightloom-upload")));
    QVERIFY(!keyValue(readAll(paths()[0]), "Exec").contains(QStringLiteral("old build")));
    next->unregisterExtension();
    for (const QString& path : paths())
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
}

void TestEntries::filesChangedDuringTheRunAreLeftAtExit()
{
    auto registration = entries();
    registration->registerExtension();
    QCOMPARE(registration->writtenFiles().size(), 3);
    // Replaced by the person's own file, and by another copy of ours for another build.
    QVERIFY(QFile::remove(paths()[0]));
    QVERIFY(writeAll(paths()[0], "[Desktop Entry]\nName=Mine now\n"));
    const QByteArray otherBuild = entries(m_root->filePath("other/brightloom-upload"))->entries()[2].content;
    QVERIFY(writeAll(paths()[2], otherBuild));
    registration->unregisterExtension();
    QCOMPARE(readAll(paths()[0]), QByteArray("[Desktop Entry]\nName=Mine now\n"));
    QVERIFY(!QFileInfo::exists(paths()[1]));
    QCOMPARE(readAll(paths()[2]), otherBuild);
}

void TestEntries::clientPathThatCannotBeWrittenGivesNoEntry()
{
    auto registration = entries(m_root->filePath("line\nbreak/brightloom-upload"));
    registration->registerExtension();
    QVERIFY(registration->writtenFiles().isEmpty());
    for (const QString& path : paths())
        QVERIFY(!QFileInfo::exists(path));
    registration->unregisterExtension();
}

QTEST_GUILESS_MAIN(TestEntries)
#include "tst_entries.moc"
