#include "api/user.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// CUser is a process-wide singleton, so every test starts by signing out.
class TestUser : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void hashIsSha1OfLoginThenPassword();
    void setUserInfoAndSignInState();
    void loadNeedsBothKeys();
    void saveWritesOrRemoves();

private:
    static QString signalName(const QSignalSpy& spy, int i)
    {
        return spy.at(i).at(0).value<BL::Api::SUserInfo>().userName;
    }

    QTemporaryDir m_dir;
};

Q_DECLARE_METATYPE(BL::Api::SUserInfo)

void TestUser::init()
{
    CUser::instance()->signOut();
}

void TestUser::hashIsSha1OfLoginThenPassword()
{
    // SHA-1("abc") and SHA-1(""): the login and password are joined with nothing between.
    QCOMPARE(CUser::computeHash(QStringLiteral("ab"), QStringLiteral("c")),
             QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(CUser::computeHash(QStringLiteral("a"), QStringLiteral("bc")),
             QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(CUser::computeHash(QString(), QString()),
             QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

void TestUser::setUserInfoAndSignInState()
{
    qRegisterMetaType<BL::Api::SUserInfo>();
    CUser* user = CUser::instance();
    QSignalSpy changed(user, &CUser::userInfoChanged);

    user->setUserInfo(QStringLiteral("alice"), QStringLiteral("secret"), true);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(signalName(changed, 0), QStringLiteral("alice"));
    QCOMPARE(user->userInfo().userName, QStringLiteral("alice"));
    QCOMPARE(user->userHash(), CUser::computeHash(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(user->isRemembered());
    QVERIFY(!user->isSignedIn());

    user->setSignedIn();
    QVERIFY(user->isSignedIn());
    QCOMPARE(changed.count(), 1); // setSignedIn announces nothing

    // A new user does not drop the signed-in flag; only signOut does.
    user->setUserInfo(QString(), QString(), false);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(signalName(changed, 1), QString());
    QVERIFY(user->isSignedIn());

    user->signOut();
    QCOMPARE(changed.count(), 3);
    QCOMPARE(signalName(changed, 2), QString());
    QVERIFY(!user->isSignedIn());
    QVERIFY(!user->isRemembered());
}

void TestUser::loadNeedsBothKeys()
{
    qRegisterMetaType<BL::Api::SUserInfo>();
    QSettings settings(m_dir.filePath(QStringLiteral("load.ini")), QSettings::IniFormat);
    CUser* user = CUser::instance();
    QSignalSpy changed(user, &CUser::userInfoChanged);

    settings.setValue(QStringLiteral("user_name"), QStringLiteral("bob"));
    QVERIFY(!user->load(&settings));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(user->userInfo().userName, QString());
    QVERIFY(settings.contains(QStringLiteral("user_name"))); // the lone key stays

    settings.setValue(QStringLiteral("user_hash"),
                      QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
    QVERIFY(user->load(&settings));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(signalName(changed, 0), QStringLiteral("bob"));
    QCOMPARE(user->userHash(), QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
    QVERIFY(user->isRemembered());
    QVERIFY(!user->isSignedIn()); // only a successful login by hash signs in
}

void TestUser::saveWritesOrRemoves()
{
    const QString path = m_dir.filePath(QStringLiteral("save.ini"));
    CUser* user = CUser::instance();
    {
        QSettings settings(path, QSettings::IniFormat);
        user->setUserInfo(QStringLiteral("carol"), QStringLiteral("pw"), true);
        user->save(&settings);
    }
    {
        QSettings settings(path, QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("user_name")).toString(), QStringLiteral("carol"));
        QCOMPARE(settings.value(QStringLiteral("user_hash")).toString(),
                 CUser::computeHash(QStringLiteral("carol"), QStringLiteral("pw")));
        user->signOut();
        QVERIFY(user->load(&settings)); // remembered again...
        user->setUserInfo(QStringLiteral("carol"), QStringLiteral("pw"), false);
        user->save(&settings); // ...but no longer wanted: both keys go
        QVERIFY(!settings.contains(QStringLiteral("user_name")));
        QVERIFY(!settings.contains(QStringLiteral("user_hash")));
    }
}

QTEST_GUILESS_MAIN(TestUser)
#include "tst_user.moc"
