#pragma once

#include <QKeySequence>
#include <QObject>

// A system-wide keyboard shortcut. Constructing it registers the combination
// with the platform at once; while disabled a press emits nothing, but the
// combination stays registered. A combination the platform refuses (another
// client holds it, no backend) only logs a warning and stays inert.
class CGlobalShortcut : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CGlobalShortcut)

public:
    explicit CGlobalShortcut(const QKeySequence& shortcut, QObject* parent = nullptr);
    ~CGlobalShortcut() override;

    QKeySequence shortcut() const { return m_shortcut; }
    // Gives up the old combination and registers the new one; false when the
    // platform refused it (the sequence is kept either way).
    bool setShortcut(const QKeySequence& shortcut);
    bool isRegistered() const { return m_registered; }

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // Called by the platform backend when the registered combination was pressed.
    void trigger();

signals:
    void activated();

private:
    void unregister();

    QKeySequence m_shortcut;
    bool m_enabled = true;
    bool m_registered = false;
};
