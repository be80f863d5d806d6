#pragma once

#include <QStringList>

namespace BL::Platform {

// Process-wide settings that must be made before the application object
// exists: keep a resident program small and make it hand screen-sized
// buffers back to the system once a shot is done.
void tuneProcessBeforeGui();

// Returns memory freed by the last shot to the system; for idle moments only.
void releaseFreeMemory();
// Bytes of the heap that are allocated and not freed (malloc's own count), or -1 where it is not
// known: with the resident size it tells growth from fragmentation.
long long heapBytesInUse();

// The files mapped into the process now (libraries and other mapped files).
QStringList mappedFiles();
// Drops this process's resident pages of the read-only mappings of every mapped file not in
// `before`: the code and constants of libraries that were loaded since and cannot be unloaded
// (C++ libraries with unique symbols never are); and of the symbol tables of those in `before`,
// which binding the new ones read. They come back from the page cache if used again; pages
// holding writes stay.
void dropPagesOfFilesMappedSince(const QStringList& before);
// Unmaps this process's resident pages of every loaded library's segments that are never
// written: code, constants and the dynamic linker's tables, touched once by the start or by the
// first shot and at most now and then later. The page cache keeps them, so the next use costs a
// minor fault, no read. The relocated (written) pages stay. Returns the bytes unmapped.
long long releaseLibraryPages();
// The same for every other file mapped read-only whose mapping holds no private copies: the
// fonts, the locale's tables and the caches read through mmap, each touched by a shot's text.
// Returns the bytes unmapped.
long long releaseMappedFilePages();

} // namespace BL::Platform
