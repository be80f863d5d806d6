#pragma once

#include <QtGlobal>

// What the kernel says about another process, read from /proc.

// Minor page faults of the process so far: each one costs microseconds, more in a virtual machine.
qint64 minorFaults(qint64 pid);
qint64 rssKiB(qint64 pid);
// Context switches of every thread of the process so far (or of its main thread): each one is a
// wake-up.
qint64 contextSwitches(qint64 pid, bool mainThreadOnly);
