#include "server/http_session.h"

#include "server/http_spool.h"
#include "server/util.h"

#include <array>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <optional>

namespace BL::Server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t maxTargetBytes = 8192;
// A browser form or the URL upload: far below any picture, and read whole before the handler.
constexpr std::size_t maxFormBodyBytes = 8192;
constexpr std::size_t streamChunkBytes = 64 * 1024;
// After a reply that leaves a body unread, how much of it is read and dropped before the close,
// so that the close does not reset the connection under the reply.
constexpr std::size_t lingerBytes = 1024 * 1024;
constexpr int lingerMs = 2000;

bool isFormBody(const SHttpRequest& request)
{
    const std::string type = request.header("Content-Type");
    return type.rfind("application/x-www-form-urlencoded", 0) == 0;
}

} // namespace

// One client connection: reads requests one after the other, hands each complete one to a
// worker, writes its reply and waits for the next, within the limits' deadlines. Everything
// here runs on the connection's strand.
class CHttpSession : public std::enable_shared_from_this<CHttpSession>
{
    using Clock = asio::steady_timer::clock_type;

public:
    CHttpSession(CHttpEngine& engine, tcp::socket socket)
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

    ~CHttpSession() { m_engine.forget(this, m_key, m_counted); }

    void start()
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

    auto executor() { return m_socket.get_executor(); }

    void closeIfIdle()
    {
        if (m_phase == EPhase::Idle)
            close();
    }

private:
    enum class EPhase { Idle, Header, Body, Handling, Writing, Closing };

    // One timer per connection, re-armed only when it fires early or the deadline comes nearer:
    // moving the deadline on at each step of a request costs a store, not a timer operation.
    void setDeadline(int ms)
    {
        m_timedOut = false;
        m_deadline = Clock::now() + std::chrono::milliseconds(ms);
        if (!m_timerArmed || m_deadline < m_timer.expiry())
            armTimer();
    }

    void clearDeadline() { m_deadline = Clock::time_point::max(); }

    void armTimer()
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

    void awaitRequest()
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
        m_socket.async_wait(tcp::socket::wait_read,
                            [self = shared_from_this()](boost::system::error_code error) {
                                if (error)
                                    return self->close();
                                if (self->m_served > 0)
                                    self->setDeadline(self->m_engine.limits.headerTimeoutMs);
                                self->readHeader();
                            });
    }

    void readHeader()
    {
        m_phase = EPhase::Header;
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_engine.limits.maxHeaderBytes));
        m_parser->body_limit(boost::none);
        http::async_read_header(m_socket, m_buffer, *m_parser,
                                [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                                    self->onHeader(error);
                                });
    }

    void onHeader(boost::system::error_code error)
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
        if (m_request.target.size() > maxTargetBytes || m_request.target.empty() ||
            m_request.target[0] != '/') {
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

    void readBody()
    {
        m_phase = EPhase::Body;
        setDeadline(m_engine.limits.requestTimeoutMs);
        m_parser->body_limit(m_engine.limits.maxBodyBytes);
        if (m_parser->content_length().value_or(0) > m_engine.limits.spoolBodyBytes) {
            try {
                m_spoolParser.emplace(std::move(*m_parser));
                m_spoolParser->get().body().file =
                    std::make_shared<CSpoolFile>(m_engine.limits.spoolDirectory);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "error: %s\n", e.what());
                SHttpResponse response;
                response.status = 503;
                return replyWithEngine(std::move(response));
            }
            m_parser.reset();
        }
        const auto read = [self = shared_from_this()] {
            const auto done = [self](boost::system::error_code error, std::size_t) { self->onBody(error); };
            if (self->m_spoolParser)
                http::async_read(self->m_socket, self->m_buffer, *self->m_spoolParser, done);
            else
                http::async_read(self->m_socket, self->m_buffer, *self->m_parser, done);
        };
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

    void onBody(boost::system::error_code error)
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

    // To a worker: the admission check alone (`headOnly`, before a large body is read), or the
    // whole request.
    void handOver(bool headOnly)
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

    // The reply an asynchronous route sends from whichever thread finishes its work.
    CHttpServer::FReply asyncReply()
    {
        auto guard = asio::make_work_guard(m_engine.io);
        return [self = shared_from_this(), guard](SHttpResponse response) {
            asio::post(self->m_socket.get_executor(), [self, response = std::move(response)]() mutable {
                self->m_engine.fillError(self->m_request, response);
                self->write(std::move(response));
            });
        };
    }

    // An error reply of the engine's own, with the service's body for it, on a connection that
    // cannot go on (its request was not read whole).
    void replyWithEngine(SHttpResponse response)
    {
        m_engine.fillError(m_request, response);
        replyRefusingBody(std::move(response));
    }

    void replyRefusingBody(SHttpResponse response)
    {
        m_keepAlive = false;
        write(std::move(response));
    }

    // An error reply before any request was understood.
    void replyAndClose(SHttpResponse response, const char* reason)
    {
        m_keepAlive = false;
        response.setContent(std::string(R"({"status":"error","reason":")") + reason + "\"}",
                            "application/json");
        m_request = SHttpRequest();
        m_request.remoteAddress = m_address;
        write(std::move(response));
    }

    void write(SHttpResponse response)
    {
        m_phase = EPhase::Writing;
        setDeadline(m_engine.limits.requestTimeoutMs);
        m_admitted = false;
        ++m_served;
        if (m_engine.stopping || m_served >= m_engine.limits.maxRequestsPerConnection)
            m_keepAlive = false;
        m_response = std::move(response);
        const std::uint64_t length = m_response.stream ? m_response.streamLength : m_response.body.size();
        m_head = responseHead(m_response, length, m_keepAlive);
        m_streamed = m_request.method == "HEAD" ? length : 0;
        writeBody();
    }

    // The status line and headers, with the length and the connection's fate; values lose any
    // line break a handler let through, so no reply can carry a header it did not mean to.
    static std::string responseHead(const SHttpResponse& response, std::uint64_t length, bool keepAlive)
    {
        const auto reason = http::obsolete_reason(static_cast<http::status>(response.status));
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " ";
        head.append(reason.data(), reason.size());
        head += "\r\n";
        for (const auto& [name, value] : response.headers) {
            head += name;
            head += ": ";
            for (char c : value)
                head += (c == '\r' || c == '\n') ? ' ' : c;
            head += "\r\n";
        }
        head += "Content-Length: " + std::to_string(length) + "\r\n";
        if (!keepAlive)
            head += "Connection: close\r\n";
        head += "\r\n";
        return head;
    }

    // The head goes out with the first piece of the body, in one write.
    void writeBody()
    {
        const std::uint64_t length = m_response.stream ? m_response.streamLength : m_response.body.size();
        std::array<asio::const_buffer, 2> pieces{asio::buffer(m_head), asio::const_buffer()};
        if (m_streamed < length && m_response.stream) {
            m_chunk.resize(streamChunkBytes);
            const std::size_t wanted =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_chunk.size(), length - m_streamed));
            const std::size_t got = m_response.stream(m_streamed, m_chunk.data(), wanted);
            if (got == 0)
                return close();
            pieces[1] = asio::buffer(m_chunk.data(), got);
        } else if (m_streamed < length) {
            pieces[1] =
                asio::buffer(m_response.body.data() + m_streamed, m_response.body.size() - m_streamed);
        }
        if (pieces[0].size() == 0 && pieces[1].size() == 0)
            return finishReply();
        asio::async_write(m_socket, pieces,
                          [self = shared_from_this(),
                           headBytes = m_head.size()](boost::system::error_code error, std::size_t written) {
                              if (error)
                                  return self->close();
                              self->m_streamed += written - headBytes;
                              self->m_head.clear();
                              self->setDeadline(self->m_engine.limits.requestTimeoutMs);
                              self->writeBody();
                          });
    }

    void finishReply()
    {
        m_engine.log(m_request, m_response);
        m_response = SHttpResponse();
        m_chunk = std::vector<char>();
        m_parser.reset();
        // The spooled body's file and mapping go with the request.
        m_request = SHttpRequest();
        if (m_keepAlive)
            return awaitRequest();
        linger();
    }

    // Ends our side and reads what the client still sends, so that our reply reaches it.
    void linger()
    {
        m_phase = EPhase::Closing;
        boost::system::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        setDeadline(lingerMs);
        m_drain.resize(16 * 1024);
        drain();
    }

    void drain()
    {
        m_socket.async_read_some(
            asio::buffer(m_drain),
            [self = shared_from_this()](boost::system::error_code error, std::size_t got) {
                self->m_drained += got;
                if (error || self->m_drained > lingerBytes)
                    return self->close();
                self->drain();
            });
    }

    void close()
    {
        m_phase = EPhase::Closing;
        clearDeadline();
        m_timer.cancel();
        boost::system::error_code ignored;
        m_socket.close(ignored);
    }

    CHttpEngine& m_engine;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
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
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::optional<http::request_parser<SSpoolBody>> m_spoolParser;
    SHttpRequest m_request;
    SHttpResponse m_response;
    std::string m_head;
    std::uint64_t m_streamed = 0;
    std::vector<char> m_chunk;
    std::vector<char> m_drain;
    std::size_t m_drained = 0;
};

void CHttpEngine::startSession(tcp::socket socket)
{
    auto session = std::make_shared<CHttpSession>(*this, std::move(socket));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.emplace(session.get(), session);
    }
    session->start();
}

bool CHttpEngine::admitAddress(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int& open = m_perAddress[key];
    if (limits.perAddress > 0 && open >= limits.perAddress) {
        if (open == 0)
            m_perAddress.erase(key);
        return false;
    }
    ++open;
    return true;
}

void CHttpEngine::forget(CHttpSession* session, const std::string& key, bool counted)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(session);
    if (!counted)
        return;
    const auto found = m_perAddress.find(key);
    if (found != m_perAddress.end() && --found->second <= 0)
        m_perAddress.erase(found);
}

void CHttpEngine::closeIdleSessions()
{
    std::vector<std::shared_ptr<CHttpSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_sessions)
            if (auto session = entry.second.lock())
                sessions.push_back(std::move(session));
    }
    for (const auto& session : sessions)
        asio::post(session->executor(), [session] { session->closeIfIdle(); });
}

std::string addressLimitKey(const std::string& address)
{
    boost::system::error_code error;
    const auto parsed = asio::ip::make_address(address, error);
    if (error || !parsed.is_v6())
        return address;
    auto bytes = parsed.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

} // namespace BL::Server
