#pragma once

// One client connection of the HTTP listener: reads requests one after the other, hands each
// complete one to a worker (or to an asynchronous route), writes its reply and waits for the
// next, within the limits' deadlines. Everything here runs on the connection's strand.

#include "server/http_engine.h"
#include "server/http_spool.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace BL::Server {

class CHttpSession : public std::enable_shared_from_this<CHttpSession>
{
    using Clock = boost::asio::steady_timer::clock_type;

public:
    CHttpSession(CHttpEngine& engine, boost::asio::ip::tcp::socket socket);
    ~CHttpSession() { m_engine.forget(this, m_key, m_counted); }
    void start();
    auto executor() { return m_socket.get_executor(); }
    void closeIfIdle();

private:
    enum class EPhase { Idle, Header, Body, Handling, Writing, Closing };

    // One timer per connection, re-armed only when it fires early or the deadline comes nearer:
    // moving the deadline on at each step of a request costs a store, not a timer operation.
    void setDeadline(int ms);
    void clearDeadline() { m_deadline = Clock::time_point::max(); }
    void armTimer();
    void awaitRequest();
    void readHeader();
    void onHeader(boost::system::error_code error);
    void readBody();
    void readBodyPiece();
    bool bodyRead() const;
    void onBody(boost::system::error_code error);

    // To a worker: the admission check alone (`headOnly`, before a large body is read), or the
    // whole request.
    void handOver(bool headOnly);

    // The reply an asynchronous route sends from whichever thread finishes its work.
    CHttpServer::FReply asyncReply();

    // An error reply of the engine's own, with the service's body for it, on a connection that
    // cannot go on (its request was not read whole).
    void replyWithEngine(SHttpResponse response);
    void replyRefusingBody(SHttpResponse response);

    // An error reply before any request was understood.
    void replyAndClose(SHttpResponse response, const char* reason);

    void write(SHttpResponse response);

    // The status line and headers, with the length and the connection's fate; values lose any
    // line break a handler let through, so no reply can carry a header it did not mean to.
    static std::string responseHead(const SHttpResponse& response, std::uint64_t length, bool keepAlive);

    // The head goes out with the first piece of the body, in one write.
    void writeBody();
    void finishReply();

    // Ends our side and reads what the client still sends, so that our reply reaches it.
    void linger();
    void drain();
    void close();

    CHttpEngine& m_engine;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    Clock::time_point m_deadline = Clock::time_point::max();
    bool m_timerArmed = false;
    bool m_timedOut = false;
    std::string m_address;
    std::string m_key;
    bool m_counted = false;
    EPhase m_phase = EPhase::Idle;
    int m_served = 0;
    bool m_keepAlive = false;
    bool m_admitted = false;
    boost::beast::flat_buffer m_buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
    std::optional<boost::beast::http::request_parser<SSpoolBody>> m_spoolParser;
    SHttpRequest m_request;
    SHttpResponse m_response;
    std::string m_head;
    std::uint64_t m_streamed = 0;
    std::vector<char> m_chunk;
    std::vector<char> m_drain;
    std::size_t m_drained = 0;
};

} // namespace BL::Server
