#pragma once
// The shared part of the tests in a private headless sway session (scripts/with-wayland.sh): the
// service, the program on Wayland over a background of our pattern, a virtual pointer, and the
// steps of a shot.
#include "serviceprocess.h"
#include "x11session.h"

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QProcess>
#include <QSize>
#include <QTemporaryDir>
#include <memory>

namespace BL::Test {

constexpr int kSwayTimeoutMs = 20000;
extern const QString kWaylandText;

QString swaymsg(const QStringList& args);
// The output on which a window of process `pid` fills the screen (the overlay), or empty.
QString overlayOutput(qint64 pid);
bool overlayShown(qint64 pid);
QString waylandClipboard();

class CSwaySession : public QObject
{
protected:
    // Starts the pointer, the service and the program; the background goes on HEADLESS-1.
    void start();
    void stop();
    // The program's output, when the test that just ran failed.
    void reportFailure() const;

    QProcessEnvironment programEnvironment() const;
    // The link of the next shot: waits for the clipboard to change from `previous`.
    QString waitForLink(const QString& previous);
    // One line to the virtual pointer; true once the compositor has it.
    bool pointer(const QString& command);
    // Presses the left button at `from`, moves through the middle to `to` and releases it there,
    // in a layout of `layout` logical points.
    void drag(QPoint from, QPoint to, QSize layout);
    void verifyUploaded(const QString& link, const QSize& size, const QPoint& origin);
    // Runs the single-shot action with the pointer at `at`, waits for the overlay on `output`,
    // drags from `from` to `to` and returns the uploaded picture.
    QImage shootArea(QPoint at, const QString& output, QPoint from, QPoint to, QSize layout);

    QTemporaryDir m_root;
    QProcess m_pointer;
    QProcess m_keyboard;
    CServiceProcess m_service;
    std::unique_ptr<CProgram> m_program;
    QImage m_lastUpload;
};

} // namespace BL::Test
