#pragma once

#include <QObject>
#include <QString>

class QSettings;

namespace BL::Api {

struct SUserInfo
{
    QString userName;
};

} // namespace BL::Api

// The one user record of the process: who is signed in, with which credential
// hash, and whether the pair is remembered in the settings.
class CUser : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUser)

public:
    static CUser* instance();

    BL::Api::SUserInfo userInfo() const;
    QString userHash() const;
    bool isSignedIn() const;
    bool isRemembered() const;

    void setUserInfo(const QString& login, const QString& password, bool remember);
    void setSignedIn();
    void signOut();

    bool load(QSettings* settings);
    void save(QSettings* settings) const;

    // SHA-1 of login followed by password in the local 8-bit encoding, as 40 lowercase hex digits.
    static QString computeHash(const QString& login, const QString& password);

signals:
    void userInfoChanged(const BL::Api::SUserInfo& info);

private:
    CUser() = default;

    QString m_userName;
    QString m_userHash;
    bool m_signedIn = false;
    bool m_remember = false;
};
