#pragma once

#include <QKeySequence>
#include <QObject>

// A system-wide keyboard shortcut. Constructing it registers the combination
// with the platform at once; while disabled a press emits nothing, but the
// combination stays registered. A combination the platform refuses (another
// client holds it, no key for it, no backend) stays inert; registration() says why.
class CGlobalShortcut : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CGlobalShortcut)

public:
    enum ERegistration {
        NotRegistered, // empty sequence
        Registered,
        HeldElsewhere, // another program holds the combination
        NoSuchKey,     // the keyboard has no key for it
        Unsupported,   // this window system has no global shortcuts
    };

    explicit CGlobalShortcut(const QKeySequence& shortcut, QObject* parent = nullptr);
    ~CGlobalShortcut() override;

    QKeySequence shortcut() const { return m_shortcut; }
    // Gives up the old combination and registers the new one; false when the
    // platform refused it (the sequence is kept either way).
    bool setShortcut(const QKeySequence& shortcut);
    bool isRegistered() const { return m_registration == Registered; }
    ERegistration registration() const { return m_registration; }

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // Called by the platform backend when the registered combination was pressed.
    void trigger();
    // Called by the platform backend when it had to grab the combination anew
    // (the keyboard mapping changed) or heard later whether the desktop took it.
    void setRegistration(ERegistration registration);

    // What a desktop that lists the program's shortcuts shows for this one; its id there is
    // the objectName().
    QString description() const { return m_description; }
    void setDescription(const QString& description) { m_description = description; }

signals:
    void activated();
    // The platform changed its mind after registering (a desktop that answers late).
    void registrationChanged();

private:
    void unregister();

    QKeySequence m_shortcut;
    QString m_description;
    bool m_enabled = true;
    ERegistration m_registration = NotRegistered;
};
