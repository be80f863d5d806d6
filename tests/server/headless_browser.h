#pragma once

#include <QImage>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <deque>
#include <memory>
#include <string>

namespace BL::Test {

// Debian's Chromium, headless, driven over the DevTools protocol on a loopback WebSocket: one
// page whose viewport, navigation, keyboard and measurements the test controls. Host names other
// than 127.0.0.1 resolve to nothing, so that the browser reaches nothing but the test's server.
class CHeadlessBrowser
{
public:
    static constexpr const char* binary = "/usr/bin/chromium";

    // Starts the browser with a fresh profile and opens its page; see error().
    CHeadlessBrowser();
    ~CHeadlessBrowser();
    CHeadlessBrowser(const CHeadlessBrowser&) = delete;
    CHeadlessBrowser& operator=(const CHeadlessBrowser&) = delete;

    // Empty when the page is ready; otherwise what went wrong.
    const QString& error() const { return m_error; }

    // The layout viewport in CSS pixels of `deviceScale` device pixels each; below 600 wide, as a
    // phone's.
    bool setViewport(int width, int height, double deviceScale = 1);
    // Loads `url` and returns once its load event fired.
    bool navigate(const std::string& url);
    // The value of a JavaScript expression evaluated in the page by the protocol (the page's own
    // policy forbids scripts; this is the inspector's, not the page's).
    QJsonValue evaluate(const QString& expression);
    // The viewport as it is painted.
    QImage screenshot();
    // A key press and release as the keyboard sends it: "Tab", "Enter", " ".
    bool press(const QString& key, bool shift = false);
    // Text typed into whatever has the focus.
    bool type(const QString& text);
    // Waits until the page the last key led to has loaded.
    bool waitForLoad();

private:
    class CConnection;
    QJsonObject call(const QString& method, const QJsonObject& params = {}, bool onPage = true);
    bool waitForEvent(const QString& method);

    QTemporaryDir m_profile;
    QProcess m_process;
    std::unique_ptr<CConnection> m_connection;
    QString m_session;
    QString m_error;
    int m_nextId = 1;
    std::deque<QJsonObject> m_events;
};

} // namespace BL::Test
