#pragma once

#include "platform/largebuffer.h"

#include <QImage>

namespace BL::Platform {

// An RGB32 picture of `size` in large-buffer memory; null when there is no memory for it.
QImage largeImage(const QSize& size);

} // namespace BL::Platform
