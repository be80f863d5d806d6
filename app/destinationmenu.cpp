#include "app/destinationmenu.h"

#include <QAction>
#include <QActionGroup>

namespace BL::App {

CDestinationMenu::CDestinationMenu(QWidget* parent) : QMenu(tr("Upload &to"), parent)
{
    setObjectName(QStringLiteral("uploadToMenu"));
    m_group = new QActionGroup(this);
    m_group->setExclusive(true);
    setDestinations({}, QString());
}

void CDestinationMenu::setDestinations(const QStringList& names, const QString& chosen)
{
    clear();
    for (QAction* old : m_group->actions())
        m_group->removeAction(old);
    // The service's entry carries an empty name: an imported file cannot be named so.
    const QStringList entries = QStringList{QString()} + names;
    const bool known = names.contains(chosen);
    for (const QString& name : entries) {
        QAction* action = addAction(name.isEmpty() ? tr("&Brightloom") : name);
        action->setCheckable(true);
        action->setChecked(known ? name == chosen : name.isEmpty());
        m_group->addAction(action);
        connect(action, &QAction::triggered, this, [this, name] { emit destinationChosen(name); });
    }
    addSeparator();
    connect(addAction(tr("&Import uploader...")), &QAction::triggered, this,
            &CDestinationMenu::importRequested);
}

} // namespace BL::App
