#pragma once

#include <QObject>
#include <QString>
#include <memory>

class CUser;

// Crash capture behind one interface, so that start-up does not care which
// implementation (if any) the platform offers.
class CAbstractCrashReporter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void initialize(const QString& url) = 0;
    virtual QString crashReportUrl() const = 0;
    virtual void setUser(CUser* user) = 0;
};

// Does nothing: used where crash capture is switched off or not available.
class CMockCrashReporter final : public CAbstractCrashReporter
{
public:
    void initialize(const QString&) override {}
    QString crashReportUrl() const override { return QStringLiteral("<mock reporter URL>"); }
    void setUser(CUser*) override {}
};

// Always returns an initialised reporter.
std::shared_ptr<CAbstractCrashReporter> createCrashReporter();
