#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>
#include <memory>

class CUser;

// Crash capture behind one interface, so that start-up does not care which implementation (if
// any) the platform offers. The implementations have no meta-object of their own.
class CAbstractCrashReporter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Installs crash handling that sends reports to `url`.
    virtual void initialize(const QString& url) = 0;
    virtual QString crashReportUrl() const = 0;
    // Follows this user record for the name that goes with a report (see crashReportUserName);
    // called again whenever its signed-in state changes.
    virtual void setUser(CUser* user) = 0;
};

// Does nothing: used where crash reports are switched off.
class CMockCrashReporter final : public CAbstractCrashReporter
{
public:
    void initialize(const QString&) override {}
    QString crashReportUrl() const override { return QStringLiteral("<mock reporter URL>"); }
    void setUser(CUser*) override {}
};

// BL_DISABLE_BREAKPAD equal to "yes" in any letter case picks the mock, anything else the real
// reporter; BL_BREAKPAD_URL, when set (even empty), replaces the built-in endpoint. Always
// returns an initialised reporter.
std::shared_ptr<CAbstractCrashReporter> createCrashReporter();

// The built-in crash report endpoint.
QString defaultCrashReportUrl();

// What goes with every report, in order: "os_type", "build_host_user" and "ver". The user's
// name ("email") is added when the report is sent, and only when there is one.
QVector<QPair<QString, QString>> crashReportParameters();

// The name that goes with a report for this user record: its name only while it is signed in.
// A remembered name of an offline start, not yet confirmed by the service, is nobody's.
QString crashReportUserName(const CUser* user);

// The real reporter of this platform (defined in the crashreporter_<platform> file).
std::shared_ptr<CAbstractCrashReporter> createPlatformCrashReporter();

// For the real reporters: makes sure the minidump directory exists, or says why it cannot,
// and returns it. Crash handling goes on either way.
QString prepareMinidumpDirectory();
