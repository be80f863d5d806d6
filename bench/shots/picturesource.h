#pragma once

#include <QByteArray>
#include <atomic>
#include <thread>

// A web server on 127.0.0.1 that answers every request with one PNG, for the service to fetch
// in URL uploads. It serves from a thread of its own: the benchmark's own thread spends its time
// in blocking waits on the X server and the program.
class CPictureSource
{
public:
    explicit CPictureSource(QByteArray png);
    ~CPictureSource();
    CPictureSource(const CPictureSource&) = delete;
    CPictureSource& operator=(const CPictureSource&) = delete;

    // 0 when it could not listen.
    int port() const { return m_port; }
    int served() const { return m_served; }

private:
    void serve();

    QByteArray m_reply;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<int> m_served{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};
