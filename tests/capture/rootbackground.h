#pragma once

#include <QImage>

namespace BL::Test {

// Makes `picture` (the root window's native size) the root window's background, which the X
// server repaints by itself wherever nothing covers it. False when there is no X display.
bool setRootBackground(const QImage& picture);

// The root window's size in native pixels; empty without an X display.
QSize rootSize();

} // namespace BL::Test
