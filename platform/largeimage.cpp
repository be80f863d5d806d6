#include "platform/largeimage.h"

namespace BL::Platform {

QImage largeImage(const QSize& size)
{
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
    const qsizetype bytes = bytesPerLine * size.height();
    if (size.isEmpty() || bytes <= 0)
        return QImage();
    LargeBuffer buffer = allocateLargeBuffer(std::size_t(bytes));
    if (!buffer)
        return QImage();
    // The picture owns the memory: the clean-up runs when its last copy goes.
    auto* owner = new LargeBuffer(std::move(buffer));
    return QImage(
        owner->get(), size.width(), size.height(), bytesPerLine, QImage::Format_RGB32,
        [](void* memory) { delete static_cast<LargeBuffer*>(memory); }, owner);
}

} // namespace BL::Platform
