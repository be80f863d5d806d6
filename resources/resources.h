#pragma once

namespace BL::Resources {

// Registers the compiled-in resource bundle. Needed because the bundle lives in
// a static library, whose initialisers the linker would otherwise drop.
void registerResources();

} // namespace BL::Resources
