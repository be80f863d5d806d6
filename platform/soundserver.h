#pragma once

#include <QString>

namespace BL::Platform {

// Whether the sound effects have anything to play through in this session. Where they go to a
// sound server, asking the audio back ends about devices without one only fills standard error
// with their connection failures. When the answer is no, `why` says what was missing.
bool soundServerReachable(QString* why);

} // namespace BL::Platform
