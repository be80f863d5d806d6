#include "server/http_session.h"

#include <array>
#include <boost/asio/write.hpp>

namespace BL::Server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t streamChunkBytes = 64 * 1024;
// After a reply that leaves a body unread, how much of it is read and dropped before the close,
// so that the close does not reset the connection under the reply: a client that sends its whole
// body before it reads (most do) must get past the end of it. Bounded in time as well.
constexpr std::size_t lingerBytes = 32 * 1024 * 1024;
constexpr int lingerMs = 2000;

} // namespace

void CHttpSession::replyWithEngine(SHttpResponse response)
{
    m_engine.fillError(m_request, response);
    replyRefusingBody(std::move(response));
}

void CHttpSession::replyRefusingBody(SHttpResponse response)
{
    m_keepAlive = false;
    write(std::move(response));
}

void CHttpSession::replyAndClose(SHttpResponse response, const char* reason)
{
    m_keepAlive = false;
    response.setContent(std::string(R"({"status":"error","reason":")") + reason + "\"}", "application/json");
    m_request = SHttpRequest();
    m_request.remoteAddress = m_address;
    write(std::move(response));
}

void CHttpSession::write(SHttpResponse response)
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

std::string CHttpSession::responseHead(const SHttpResponse& response, std::uint64_t length, bool keepAlive)
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

void CHttpSession::writeBody()
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
        pieces[1] = asio::buffer(m_response.body.data() + m_streamed, m_response.body.size() - m_streamed);
    }
    if (pieces[0].size() == 0 && pieces[1].size() == 0)
        return finishReply();
    asio::async_write(m_socket, pieces,
                      [self = shared_from_this(), headBytes = m_head.size()](boost::system::error_code error,
                                                                             std::size_t written) {
                          if (error)
                              return self->close();
                          self->m_streamed += written - headBytes;
                          self->m_head.clear();
                          self->setDeadline(self->m_engine.limits.requestTimeoutMs);
                          self->writeBody();
                      });
}

void CHttpSession::finishReply()
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

void CHttpSession::linger()
{
    m_phase = EPhase::Closing;
    boost::system::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_send, ignored);
    setDeadline(lingerMs);
    m_drain.resize(16 * 1024);
    drain();
}

void CHttpSession::drain()
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

void CHttpSession::close()
{
    m_phase = EPhase::Closing;
    clearDeadline();
    m_timer.cancel();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}
} // namespace BL::Server
