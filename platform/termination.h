#pragma once

class QObject;

namespace BL::Platform {

// Turns the system's polite requests to end (SIGTERM, SIGINT, SIGHUP at logout)
// into an ordinary quit of the event loop, so that shutdown runs in order and
// the settings are written. Call once, after the application object exists.
void quitOnTerminationRequest();

} // namespace BL::Platform
