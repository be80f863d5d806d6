#include "api/user.h"

#include <QCryptographicHash>
#include <QSettings>

namespace {
const QString kUserNameKey = QStringLiteral("user_name");
const QString kUserHashKey = QStringLiteral("user_hash");
} // namespace

CUser* CUser::instance()
{
    // Created on first use and kept for the whole process; never destroyed so
    // that late callers during shutdown still find it.
    static CUser* user = new CUser;
    return user;
}

BL::Api::SUserInfo CUser::userInfo() const
{
    return BL::Api::SUserInfo{m_userName};
}

QString CUser::userHash() const
{
    return m_userHash;
}

bool CUser::isSignedIn() const
{
    return m_signedIn;
}

bool CUser::isRemembered() const
{
    return m_remember;
}

QString CUser::computeHash(const QString& login, const QString& password)
{
    const QByteArray bytes = QString(login + password).toLocal8Bit();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

void CUser::setUserInfo(const QString& login, const QString& password, bool remember)
{
    m_remember = remember;
    m_userName = login;
    m_userHash = computeHash(login, password);
    emit userInfoChanged(userInfo());
}

void CUser::setSignedIn()
{
    m_signedIn = true;
}

void CUser::signOut()
{
    m_signedIn = false;
    setUserInfo(QString(), QString(), false);
}

bool CUser::load(QSettings* settings)
{
    if (!settings || !settings->contains(kUserNameKey) || !settings->contains(kUserHashKey))
        return false;
    m_userName = settings->value(kUserNameKey).toString();
    m_userHash = settings->value(kUserHashKey).toString();
    m_remember = true;
    emit userInfoChanged(userInfo());
    return true;
}

void CUser::save(QSettings* settings) const
{
    if (!settings)
        return;
    if (m_remember) {
        settings->setValue(kUserNameKey, m_userName);
        settings->setValue(kUserHashKey, m_userHash);
    } else {
        settings->remove(kUserNameKey);
        settings->remove(kUserHashKey);
    }
}
