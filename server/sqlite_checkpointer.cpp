#include "server/sqlite_checkpointer.h"

#include <cstdio>
#include <sqlite3.h>
#include <stdexcept>

namespace BL::Server {

CSqliteCheckpointer::CSqliteCheckpointer(sqlite3* writer, const std::string& path) : m_writer(writer)
{
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("cannot open database " + path + " for checkpoints: " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    // The hook replaces the writer's automatic checkpoints, which would run in its commits.
    sqlite3_wal_hook(m_writer, &CSqliteCheckpointer::onCommit, this);
    m_thread = std::thread([this] { run(); });
}

CSqliteCheckpointer::~CSqliteCheckpointer()
{
    sqlite3_wal_hook(m_writer, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
    sqlite3_close(m_db);
}

int CSqliteCheckpointer::onCommit(void* self, sqlite3* db, const char* name, int pages)
{
    if (pages < pagesPerCheckpoint)
        return SQLITE_OK;
    // A writer that never pauses keeps the copy from ever catching up, and the log from being
    // reused: past a limit the writer copies itself, as SQLite would after every commit.
    if (pages >= 4 * pagesPerCheckpoint) {
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        return SQLITE_OK;
    }
    auto* checkpointer = static_cast<CSqliteCheckpointer*>(self);
    {
        std::lock_guard<std::mutex> lock(checkpointer->m_mutex);
        if (checkpointer->m_due)
            return SQLITE_OK;
        checkpointer->m_due = true;
    }
    checkpointer->m_wake.notify_one();
    return SQLITE_OK;
}

void CSqliteCheckpointer::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || m_due; });
        if (m_stopping)
            return;
        lock.unlock();
        int logged = 0;
        int copied = 0;
        const int rc = sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &copied);
        if (rc != SQLITE_OK && rc != SQLITE_BUSY)
            std::fprintf(stderr, "error: database checkpoint: %s\n", sqlite3_errstr(rc));
        lock.lock();
        m_due = false;
    }
}

} // namespace BL::Server
