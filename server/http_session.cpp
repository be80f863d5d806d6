#include "server/http_session.h"

#include "server/util.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace BL::Server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t maxTargetBytes = 8192;
// A browser form or the URL upload: far below any picture, and read whole before the handler.
constexpr std::size_t maxFormBodyBytes = 8192;
// The most room one read of a body gets.
constexpr std::size_t bodyReadBytes = 64 * 1024;
// A client that writes the header and a small body apart (Qt's network stack does) holds the body
// back until the header is acknowledged (Nagle), while this side would delay that ACK by 40 ms
// waiting for the body: a small form post took 40 ms on loopback. Acknowledging at once ends it.
void acknowledgeNow(tcp::socket& socket)
{
    const int on = 1;
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool isFormBody(const SHttpRequest& request)
{
    const std::string type = request.header("Content-Type");
    return type.rfind("application/x-www-form-urlencoded", 0) == 0;
}

} // namespace

CHttpSession::CHttpSession(CHttpEngine& engine, tcp::socket socket)
    : m_engine(engine), m_socket(std::move(socket)), m_timer(m_socket.get_executor())
{
    boost::system::error_code error;
    const tcp::endpoint peer = m_socket.remote_endpoint(error);
    if (!error) {
        const auto address = peer.address();
        m_address = address.is_v6() && address.to_v6().is_v4_mapped()
                        ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                        : address.to_string();
    }
    m_key = addressLimitKey(m_address);
}

void CHttpSession::start()
{
    m_socket.set_option(tcp::no_delay(true));
    if (!(m_counted = m_engine.admitAddress(m_key))) {
        // A plain reply: this client gets nothing of the engine but a refusal.
        SHttpResponse response;
        response.status = 503;
        return replyAndClose(std::move(response), "too many connections");
    }
    awaitRequest();
}

void CHttpSession::closeIfIdle()
{
    if (m_phase == EPhase::Idle)
        close();
}

void CHttpSession::setDeadline(int ms)
{
    m_timedOut = false;
    m_deadline = Clock::now() + std::chrono::milliseconds(ms);
    if (!m_timerArmed || m_deadline < m_timer.expiry())
        armTimer();
}

void CHttpSession::armTimer()
{
    m_timerArmed = true;
    m_timer.expires_at(m_deadline);
    m_timer.async_wait([self = shared_from_this()](boost::system::error_code error) {
        if (error)
            return; // re-armed meanwhile: that wait carries on
        self->m_timerArmed = false;
        if (self->m_deadline == Clock::time_point::max())
            return;
        if (Clock::now() < self->m_deadline)
            return self->armTimer();
        self->m_timedOut = true;
        boost::system::error_code ignored;
        self->m_socket.cancel(ignored);
    });
}

void CHttpSession::awaitRequest()
{
    m_phase = EPhase::Idle;
    if (m_engine.stopping)
        return close();
    // The header deadline runs from the accept for the first request, from the first byte
    // for the later ones; until then only the idle time-out.
    if (m_served == 0)
        setDeadline(m_engine.limits.headerTimeoutMs);
    else
        setDeadline(m_engine.limits.idleTimeoutMs);
    if (m_buffer.size() > 0)
        return readHeader();
    // No buffer while idle: thousands of idle connections cost a socket and a timer each.
    m_buffer.shrink_to_fit();
    m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](boost::system::error_code error) {
        if (error)
            return self->close();
        if (self->m_served > 0)
            self->setDeadline(self->m_engine.limits.headerTimeoutMs);
        self->readHeader();
    });
}

void CHttpSession::readHeader()
{
    m_phase = EPhase::Header;
    m_parser.emplace();
    m_parser->header_limit(static_cast<std::uint32_t>(m_engine.limits.maxHeaderBytes));
    m_parser->body_limit(boost::none);
    http::async_read_header(
        m_socket, m_buffer, *m_parser,
        [self = shared_from_this()](boost::system::error_code error, std::size_t) { self->onHeader(error); });
}

void CHttpSession::onHeader(boost::system::error_code error)
{
    SHttpResponse response;
    if (m_timedOut) {
        response.status = 408;
        return replyAndClose(std::move(response), "request timed out");
    }
    if (error == http::error::header_limit) {
        response.status = 431;
        return replyAndClose(std::move(response), "request header too large");
    }
    // A client that closed its side mid-header can send nothing more: no reply to wait for.
    if (error == http::error::end_of_stream || error == http::error::partial_message ||
        error == asio::error::eof || error == asio::error::connection_reset ||
        error == asio::error::operation_aborted)
        return close();
    if (error) {
        response.status = 400;
        return replyAndClose(std::move(response), "bad request");
    }
    const auto& head = m_parser->get();
    m_request = SHttpRequest();
    m_request.method = std::string(head.method_string());
    m_request.target = std::string(head.target());
    m_request.remoteAddress = m_address;
    int lines = 0;
    for (const auto& field : head) {
        m_request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        ++lines;
    }
    if (lines > m_engine.limits.maxHeaderLines) {
        response.status = 431;
        return replyAndClose(std::move(response), "request header too large");
    }
    const std::size_t query = m_request.target.find('?');
    m_request.path = percentDecode(m_request.target.substr(0, query), false);
    if (query != std::string::npos)
        m_request.params = parseQuery(m_request.target.substr(query + 1));
    m_keepAlive = head.keep_alive();
    if (m_engine.checkHead(m_request, response))
        return replyRefusingBody(std::move(response));
    if (m_request.target.size() > maxTargetBytes || m_request.target.empty() || m_request.target[0] != '/') {
        response.status = m_request.target.size() > maxTargetBytes ? 414 : 400;
        return replyWithEngine(std::move(response));
    }
    const bool chunked = m_parser->chunked();
    const std::uint64_t length = m_parser->content_length().value_or(0);
    const std::size_t limit = isFormBody(m_request) ? maxFormBodyBytes : m_engine.limits.maxBodyBytes;
    if (!chunked && length > limit) {
        response.status = 413;
        return replyWithEngine(std::move(response));
    }
    if (chunked || length > m_engine.limits.admitBeforeBodyBytes)
        return handOver(true);
    readBody();
}

void CHttpSession::readBody()
{
    m_phase = EPhase::Body;
    setDeadline(m_engine.limits.requestTimeoutMs);
    const std::uint64_t length = m_parser->content_length().value_or(0);
    if (m_buffer.size() < length)
        acknowledgeNow(m_socket);
    m_parser->body_limit(m_engine.limits.maxBodyBytes);
    if (m_parser->content_length().value_or(0) > m_engine.limits.spoolBodyBytes) {
        try {
            m_spoolParser.emplace(std::move(*m_parser));
            m_spoolParser->get().body().file = std::make_shared<CSpoolFile>(m_engine.limits.spoolDirectory);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "error: %s\n", e.what());
            SHttpResponse response;
            response.status = 503;
            return replyWithEngine(std::move(response));
        }
        m_parser.reset();
    }
    const auto read = [self = shared_from_this()] { self->readBodyPiece(); };
    const std::string expect = m_request.header("Expect");
    if (expect.size() != 12 || !sameHeaderName(expect, "100-continue"))
        return read();
    static const char goOn[] = "HTTP/1.1 100 Continue\r\n\r\n";
    asio::async_write(m_socket, asio::buffer(goOn, sizeof goOn - 1),
                      [self = shared_from_this(), read](boost::system::error_code error, std::size_t) {
                          if (error)
                              return self->close();
                          read();
                      });
}

bool CHttpSession::bodyRead() const
{
    return m_spoolParser ? m_spoolParser->is_done() : m_parser->is_done();
}

void CHttpSession::readBodyPiece()
{
    // A body that came whole with the header (or none at all) needs no read.
    if (bodyRead())
        return asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->onBody({}); });
    const auto done = [self = shared_from_this()](boost::system::error_code error, std::size_t parsed) {
        if (error || self->bodyRead())
            return self->onBody(error);
        // Beast reads as much as the buffer has room for, and after the header that is 512
        // bytes: a screen-sized picture came in thousands of reads, and as many writes to its
        // spool file. The room doubles while the client fills it, so that memory follows what a
        // client sends, not what it announces; it is given back when the connection goes idle.
        const std::size_t room = self->m_buffer.capacity();
        if (parsed >= room / 2 && room < bodyReadBytes)
            self->m_buffer.reserve(std::min(room * 2, bodyReadBytes));
        // The same Nagle hold as after the header, at the body's end: the client keeps its last
        // short segment until what it sent is acknowledged, and a kept-alive connection delays
        // that ACK by 40 ms. Half of the screen-sized uploads waited so.
        acknowledgeNow(self->m_socket);
        self->readBodyPiece();
    };
    if (m_spoolParser)
        http::async_read_some(m_socket, m_buffer, *m_spoolParser, done);
    else
        http::async_read_some(m_socket, m_buffer, *m_parser, done);
}

void CHttpSession::onBody(boost::system::error_code error)
{
    SHttpResponse response;
    if (m_timedOut) {
        response.status = 408;
        return replyAndClose(std::move(response), "request timed out");
    }
    if (error == http::error::body_limit) {
        response.status = 413;
        return replyWithEngine(std::move(response));
    }
    if (error)
        return close();
    if (m_spoolParser) {
        m_request.bodyFile = std::move(m_spoolParser->get().body().file);
        m_spoolParser.reset();
        if (!m_request.bodyFile->map()) {
            response.status = 503;
            return replyWithEngine(std::move(response));
        }
    } else {
        m_request.bodyText = std::move(m_parser->get().body());
    }
    m_phase = EPhase::Handling;
    clearDeadline();
    if (!m_engine.dispatchInline(m_request, asyncReply()))
        handOver(false);
}

void CHttpSession::handOver(bool headOnly)
{
    m_phase = EPhase::Handling;
    clearDeadline();
    auto self = shared_from_this();
    auto guard = asio::make_work_guard(m_engine.io);
    const bool queued = m_engine.postToWorker([self, headOnly, guard] {
        auto response = std::make_shared<SHttpResponse>();
        bool answered = true;
        if (headOnly)
            answered = self->m_engine.admit(self->m_request, *response);
        else
            self->m_engine.respond(self->m_request, *response, self->m_admitted);
        asio::post(self->m_socket.get_executor(), [self, response, headOnly, answered] {
            if (headOnly && !answered) {
                self->m_admitted = true;
                return self->readBody();
            }
            // A refusal before the body leaves it unread: the connection cannot go on.
            if (headOnly)
                self->m_keepAlive = false;
            self->write(std::move(*response));
        });
    });
    if (!queued) {
        SHttpResponse response;
        response.status = 503;
        replyWithEngine(std::move(response));
    }
}

CHttpServer::FReply CHttpSession::asyncReply()
{
    auto guard = asio::make_work_guard(m_engine.io);
    return [self = shared_from_this(), guard](SHttpResponse response) {
        asio::post(self->m_socket.get_executor(), [self, response = std::move(response)]() mutable {
            self->m_engine.fillError(self->m_request, response);
            self->write(std::move(response));
        });
    };
}
} // namespace BL::Server
