#pragma once

#include "procstats.h"
#include "shotdriver.h"
#include "xresources.h"

#include <QMap>
#include <QRect>
#include <vector>

class CProgramLog;

// Shots of every kind, one of each a round, against the resident program: its memory, open
// descriptors, threads and X resources sampled once it has given its shot buffers back, after
// the tenth round and every hundredth; the failed shots of each kind; the stalls and the upload
// times over the whole run.
class CSoak
{
public:
    struct SAreas
    {
        QRect local, first, second;
        QByteArray url;
        QString file;
    };

    CSoak(BL::Test::CProgram& program, CProgramLog& log, CShotDriver& driver, quint64 trayIcon);

    // The sample of the program idle after start, before any shot; its idle release is past.
    void sampleIdle();
    void run(int rounds, const SAreas& areas);
    void print() const;

private:
    struct SSample
    {
        int round = 0;
        qint64 rss = 0, heap = 0, anon = 0;
        qint64 heapInUse = -1; // bytes the program's malloc counts as allocated; -1: not read
        int fds = 0, threads = 0;
        SXResources x;
    };
    // Waits for the program's idle release (unless it is past) and reads the figures.
    SSample sample(int round, bool releaseSeen = false);
    void printSample(const SSample& s) const;

    BL::Test::CProgram& m_program;
    CProgramLog& m_log;
    CShotDriver& m_driver;
    quint64 m_trayIcon;
    std::vector<SSample> m_samples;
    QMap<QString, qint64> m_mappingsAfterTen, m_mappingsAtEnd;
    int m_rounds = 0;
    std::vector<double> m_uploadStalls, m_overlayStalls, m_uploadDone, m_localFile, m_comparisonDone,
        m_urlDone, m_fileDone;
};
