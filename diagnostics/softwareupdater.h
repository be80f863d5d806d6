#pragma once

#include <QObject>
#include <memory>

class CAbstractSoftwareUpdater : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void checkInBackground() = 0;
    virtual void checkWithUi() = 0;
    virtual bool automaticChecksEnabled() const = 0;
    virtual void setAutomaticChecksEnabled(bool enabled) = 0;

signals:
    void automaticChecksEnabledChanged(bool enabled);
};

// Reports automatic checks as off and ignores check requests: for platforms
// without an update backend.
class CDumbSoftwareUpdater final : public CAbstractSoftwareUpdater
{
    Q_OBJECT

public:
    void checkInBackground() override {}
    void checkWithUi() override {}
    bool automaticChecksEnabled() const override { return false; }
    void setAutomaticChecksEnabled(bool) override {}
};

std::unique_ptr<CAbstractSoftwareUpdater> createSoftwareUpdater();
