#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace BL::Server {

// Copies the write-ahead log back into the database on a thread and connection of its own, so
// that the flush to disk a copy ends with never falls on a request waiting for its commit.
// Passive copies do not block the writer; the log is reused from its start once a copy caught up.
class CSqliteCheckpointer
{
public:
    // Takes over the checkpoints of `writer`, whose file is `path`; throws std::runtime_error
    // when the second connection cannot be opened.
    CSqliteCheckpointer(sqlite3* writer, const std::string& path);
    // Stops the thread; the writer's own close copies what is left.
    ~CSqliteCheckpointer();
    CSqliteCheckpointer(const CSqliteCheckpointer&) = delete;
    CSqliteCheckpointer& operator=(const CSqliteCheckpointer&) = delete;

    // Pages in the log at which a copy starts (SQLite's own default).
    static constexpr int pagesPerCheckpoint = 1000;

private:
    static int onCommit(void* self, sqlite3* db, const char* name, int pages);
    void run();

    sqlite3* m_writer;
    sqlite3* m_db = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_due = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace BL::Server
