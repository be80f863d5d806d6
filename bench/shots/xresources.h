#pragma once

#include <QtGlobal>

// What one client holds in the X server, as xrestop (XRes) tells it.
struct SXResources
{
    bool found = false;
    int windows = 0, gcs = 0, pixmaps = 0, pictures = 0;
    qint64 pixmapBytes = 0, totalBytes = 0;
};

// The resources of the client that created `window` (any of its windows): the client whose
// resource base the window's id falls in. Runs `xrestop -b -m 1`.
SXResources xResourcesOf(quint64 window);
