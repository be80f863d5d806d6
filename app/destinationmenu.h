#pragma once

#include <QMenu>
#include <QString>
#include <QStringList>

class QActionGroup;

namespace BL::App {

// "Upload to": the Brightloom service first, then each imported destination, one of them
// checked; "Import uploader..." below them.
class CDestinationMenu : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CDestinationMenu)

public:
    explicit CDestinationMenu(QWidget* parent);

    // `chosen` empty (or not among `names`) checks the service.
    void setDestinations(const QStringList& names, const QString& chosen);

signals:
    // Empty for the Brightloom service.
    void destinationChosen(const QString& name);
    void importRequested();

private:
    QActionGroup* m_group = nullptr;
};

} // namespace BL::App
