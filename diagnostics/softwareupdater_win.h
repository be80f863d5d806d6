#pragma once

#include "diagnostics/softwareupdater.h"

// Drives the Windows update library, which fetches the feed, compares versions, offers
// the update in its own window and keeps its own settings.
class CSparkleAutoupdaterWin final : public CAbstractSoftwareUpdater
{
    Q_OBJECT

public:
    CSparkleAutoupdaterWin();
    ~CSparkleAutoupdaterWin() override;

    void checkInBackground() override;
    void checkWithUi() override;
    bool automaticChecksEnabled() const override;
    void setAutomaticChecksEnabled(bool enabled) override;

private:
    bool initialized = false;
};
