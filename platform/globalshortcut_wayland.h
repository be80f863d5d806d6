#pragma once

#include "platform/backends.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantMap>

namespace BL::Platform {

class CPortalRequest;

// One entry of the portal's a(sa{sv}) shortcut lists.
struct SPortalShortcut
{
    QString id;
    QVariantMap properties;
};

// The combination in the desktop's shortcut notation ("CTRL+ALT+p", "LOGO+Print"); empty for a
// key that notation has no name for, which leaves the choice to the person.
QString portalTrigger(const QKeySequence& sequence);

// Binds our hotkeys through the desktop's GlobalShortcuts portal: one session holds all of them,
// bound again as a whole whenever they change. Until the desktop answers they count as
// registered; a refusal, a person who declines or a portal that does not answer in time turns
// every one Unsupported, which the shell tells the person about.
class CWaylandShortcutBackend final : public QObject, public CAbstractShortcutBackend
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CWaylandShortcutBackend)

public:
    // The desktop may ask the person before it binds: that wait is long, but bounded too.
    explicit CWaylandShortcutBackend(int sessionTimeoutMs = 5000, int bindTimeoutMs = 120000);
    ~CWaylandShortcutBackend() override;

    CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut* owner,
                                                    const QKeySequence& sequence) override;
    void unregisterShortcut(CGlobalShortcut* owner) override;

signals:
    // Each round of binding ends in exactly one of these.
    void bindingFinished(bool bound);

private slots:
    // Named in a D-Bus match rule, which only takes a slot signature.
    void onActivated(const QDBusObjectPath& session, const QString& shortcutId, qulonglong timestamp,
                     const QVariantMap& options);

private:
    bool portalOffered();
    void bindAll();
    // The wanted hotkeys as the portal lists them, remembered by id for the activations; a desktop
    // that remembers keys forgets the ones whose combination changed.
    QList<SPortalShortcut> wantedShortcuts();
    void createSession();
    void bindShortcuts(const QList<SPortalShortcut>& shortcuts);
    void finishBinding(const QString& how, QStringList bound);
    void closeSession();
    void giveUp(const QString& reason);

    int m_sessionTimeoutMs;
    int m_bindTimeoutMs;
    bool m_probed = false;
    bool m_offered = false;
    bool m_listening = false;
    bool m_changedMeanwhile = false;
    QHash<CGlobalShortcut*, QKeySequence> m_wanted;
    QHash<QString, QPointer<CGlobalShortcut>> m_boundIds;
    // The combination last offered to the desktop per id, to notice the ones the person changed.
    QHash<QString, QString> m_offeredTriggers;
    QString m_session;
    QPointer<CPortalRequest> m_request;
    QTimer m_rebind;
};

} // namespace BL::Platform

QDBusArgument& operator<<(QDBusArgument& argument, const BL::Platform::SPortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, BL::Platform::SPortalShortcut& shortcut);

Q_DECLARE_METATYPE(BL::Platform::SPortalShortcut)
