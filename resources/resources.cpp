#include "resources/resources.h"

#include <QtGlobal>

static void initBundles()
{
    Q_INIT_RESOURCE(brightloom);
    Q_INIT_RESOURCE(brightloom_font);
}

namespace BL::Resources {

void registerResources()
{
    initBundles();
}

} // namespace BL::Resources
