#pragma once

#include <QMap>
#include <QString>

// What the kernel says about another process, read from /proc.

// Minor page faults of the process so far: each one costs microseconds, more in a virtual machine.
qint64 minorFaults(qint64 pid);
qint64 rssKiB(qint64 pid);
// Waits until the main thread sleeps in its event loop's poll: the work it logged just before
// (the idle trim) is then done. False if that does not happen within `timeoutMs`.
bool waitForMainThreadAsleep(qint64 pid, int timeoutMs);
// Context switches of every thread of the process so far (or of its main thread): each one is a
// wake-up.
qint64 contextSwitches(qint64 pid, bool mainThreadOnly);
int openDescriptors(qint64 pid);
int threadCount(qint64 pid);
// Resident KiB of each group of the process's mappings, named as bench/memory-map.sh names them:
// a library's file name, "[heap]", "[thread stacks]" (anonymous, 8 MiB: glibc's default stack)
// and "[anon]" for the other anonymous memory (malloc's arenas, big blocks, Qt's own).
QMap<QString, qint64> residentByMapping(qint64 pid);
