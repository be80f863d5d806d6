#include "platform/screengrab.h"

namespace BL::Platform {

QImage grabScreenRect(const QRect&)
{
    return QImage();
}

void releaseScreenGrabBuffers() {}

} // namespace BL::Platform
