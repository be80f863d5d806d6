#pragma once

#include <QObject>
#include <QString>
#include <memory>

// How a check ended, for callers that confirm a check they asked for.
enum class EUpdateCheckResult { UpdateFound, UpToDate, Failed };

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
    // Emitted once per finished check by updaters that learn its outcome; an update
    // library that keeps the outcome to itself never emits it.
    void checkFinished(EUpdateCheckResult result);
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

// The updater of this platform (softwareupdater_<platform>.cpp).
std::unique_ptr<CAbstractSoftwareUpdater> createSoftwareUpdater();

// The update feed: BL_APPCAST_URL when set and not empty, otherwise defaultAppcastUrl().
QString appcastUrl();
// This platform's feed on the web service (softwareupdater_<platform>.cpp).
QString defaultAppcastUrl();
