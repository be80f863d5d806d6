#include "soak.h"

#include "figures.h"
#include "programlog.h"
#include "x11session.h"

#include <algorithm>
#include <cstdio>

CSoak::CSoak(BL::Test::CProgram& program, CProgramLog& log, CShotDriver& driver, quint64 trayIcon)
    : m_program(program), m_log(log), m_driver(driver), m_trayIcon(trayIcon)
{
}

CSoak::SSample CSoak::sample(int round, bool releaseSeen)
{
    // Lines of idle trims during the round are passed over: the one wanted follows its last shot.
    m_log.skipPast("perf trimmed");
    QList<qint64> trimmed;
    if (!releaseSeen && !m_log.waitFor("perf trimmed", 60000, &trimmed))
        std::fprintf(stderr, "round %d: no idle release seen; sampled anyway\n", round);
    SSample s;
    s.round = round;
    s.heapInUse = trimmed.value(1, -1);
    const qint64 pid = m_program.pid();
    // The line comes just before the trim, whose pages must be gone before they are counted.
    if (!waitForMainThreadAsleep(pid, 5000))
        std::fprintf(stderr, "round %d: the main thread did not go back to sleep after its trim\n", round);
    s.rss = rssKiB(pid);
    const QMap<QString, qint64> mappings = residentByMapping(pid);
    s.heap = mappings.value(QStringLiteral("[heap]"));
    s.anon = mappings.value(QStringLiteral("[anon]"));
    s.fds = openDescriptors(pid);
    s.threads = threadCount(pid);
    s.x = xResourcesOf(m_trayIcon);
    if (round == 10)
        m_mappingsAfterTen = mappings;
    m_mappingsAtEnd = mappings;
    return s;
}

void CSoak::printSample(const SSample& s) const
{
    const QByteArray inUse =
        s.heapInUse < 0 ? QByteArray("-") : QByteArray::number(s.heapInUse / 1048576.0, 'f', 1);
    std::printf("%6d %8.1f %8.1f %8s %8.1f %5d %7d %7d %7d %8d %9.1f\n", s.round, s.rss / 1024.0,
                s.heap / 1024.0, inUse.constData(), s.anon / 1024.0, s.fds, s.threads, s.x.windows,
                s.x.pixmaps, s.x.pictures, s.x.totalBytes / 1024.0);
    std::fflush(stdout);
}

void CSoak::sampleIdle()
{
    std::printf(
        "\nsoak: one shot of each kind a round (%s, %s, %s, %s, %s); sampled after the idle release\n",
        CShotDriver::kindName(CShotDriver::Upload), CShotDriver::kindName(CShotDriver::Local),
        CShotDriver::kindName(CShotDriver::Comparison), CShotDriver::kindName(CShotDriver::Url),
        CShotDriver::kindName(CShotDriver::FileHandOff));
    std::printf(" round  RSS MiB heap MiB  in use anon MiB   fds threads X wins X pixms X picts  X KiB\n");
    m_samples.push_back(sample(0, true));
    printSample(m_samples.back());
}

void CSoak::run(int rounds, const SAreas& areas)
{
    m_rounds = rounds;
    for (int round = 1; round <= rounds; ++round) {
        CShotDriver::SShot shot;
        if (m_driver.uploadShot(round, &shot)) {
            m_uploadStalls.push_back(shot.maxBlock);
            m_overlayStalls.push_back(shot.maxBlock);
            m_uploadDone.push_back(shot.toDone);
        }
        if (m_driver.localShot(round, areas.local, &shot)) {
            m_overlayStalls.push_back(shot.maxBlock);
            m_localFile.push_back(shot.toDone);
        }
        if (m_driver.comparisonShot(round, areas.first, areas.second, &shot)) {
            m_overlayStalls.push_back(shot.maxBlock);
            m_comparisonDone.push_back(shot.toDone);
        }
        if (m_driver.urlShot(round, areas.url, &shot))
            m_urlDone.push_back(shot.toDone);
        if (m_driver.fileShot(round, areas.file, &shot))
            m_fileDone.push_back(shot.toDone);
        if (round == 10 || round % 100 == 0 || round == rounds) {
            m_samples.push_back(sample(round));
            printSample(m_samples.back());
        }
    }
}

void CSoak::print() const
{
    std::printf("\nsoak over %d rounds                                       min    median       max\n",
                m_rounds);
    printRow({"upload: release -> acknowledged, 1080p (ms)", m_uploadDone, "<= 50 median"});
    printRow({"local: release -> complete PNG file (ms)", m_localFile, "(no target)"});
    printRow({"comparison: release -> acknowledged (ms)", m_comparisonDone, "(no target)"});
    printRow({"URL: Enter -> acknowledged (ms)", m_urlDone, "(no target)"});
    printRow({"file hand-off: client start -> ack (ms)", m_fileDone, "(no target)"});
    printRow({"longest GUI stall per upload shot (ms)", m_uploadStalls, "<= 16 p99"});
    printRow({"longest GUI stall per overlay shot (ms)", m_overlayStalls, "<= 16 p99"});
    std::printf(
        "GUI stall p99: upload shots %.1f ms over %zu, all overlay shots %.1f ms over %zu (target <= 16)\n",
        percentile(m_uploadStalls, 0.99), m_uploadStalls.size(), percentile(m_overlayStalls, 0.99),
        m_overlayStalls.size());
    std::printf("failed shots:");
    for (int kind = 0; kind < CShotDriver::KindCount; ++kind)
        std::printf(" %s %d,", CShotDriver::kindName(CShotDriver::EKind(kind)),
                    m_driver.failures(CShotDriver::EKind(kind)));
    std::printf(" in all %d of %d (target 0)\n", m_driver.failures(), m_rounds * CShotDriver::KindCount);
    std::printf("URL shots whose tray menu was opened again, its keys having come before its grab: %d\n",
                m_driver.repeats(CShotDriver::Url));
    if (m_samples.size() < 2)
        return;
    const SSample& idle = m_samples.front();
    const SSample& last = m_samples.back();
    const auto ten =
        std::find_if(m_samples.begin(), m_samples.end(), [](const SSample& s) { return s.round == 10; });
    std::printf("RSS growth over %d rounds: %+.1f MiB from idle (target <= +1 after 1,000 shots)", last.round,
                (last.rss - idle.rss) / 1024.0);
    if (ten != m_samples.end() && ten->round != last.round)
        std::printf(", %+.1f MiB after round 10 (target: flat)", (last.rss - ten->rss) / 1024.0);
    std::printf("\n");
    if (m_mappingsAfterTen.isEmpty() || last.round <= 10)
        return;
    // What grew after the tenth round, largest first.
    std::vector<std::pair<qint64, QString>> growth;
    QMap<QString, qint64> all = m_mappingsAfterTen;
    for (auto it = m_mappingsAtEnd.cbegin(); it != m_mappingsAtEnd.cend(); ++it)
        all[it.key()] += 0;
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const qint64 delta = m_mappingsAtEnd.value(it.key()) - m_mappingsAfterTen.value(it.key());
        if (delta != 0)
            growth.emplace_back(delta, it.key());
    }
    std::sort(growth.begin(), growth.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::printf("resident KiB per mapping, round 10 -> round %d (changed ones, largest growth first):\n",
                last.round);
    for (size_t i = 0; i < growth.size() && i < 15; ++i)
        std::printf("  %+8lld  %s (%lld -> %lld)\n", growth[i].first, qPrintable(growth[i].second),
                    m_mappingsAfterTen.value(growth[i].second), m_mappingsAtEnd.value(growth[i].second));
}
