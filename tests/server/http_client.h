#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace BL::Test {

using SHeaders = std::vector<std::pair<std::string, std::string>>;

struct SReply
{
    int status = 0;
    std::string body;
    SHeaders headers;

    // Names compare without regard to case; `index` counts repeated headers.
    std::string header(const std::string& name, std::size_t index = 0) const;
    bool hasHeader(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const;
};

// A reply, or the reason there was none.
class CResult
{
public:
    CResult() = default;
    explicit CResult(SReply reply) : m_reply(std::make_unique<SReply>(std::move(reply))) {}
    explicit CResult(std::string error) : m_error(std::move(error)) {}

    explicit operator bool() const { return m_reply != nullptr; }
    const SReply* operator->() const { return m_reply.get(); }
    const SReply& operator*() const { return *m_reply; }
    const std::string& error() const { return m_error; }

private:
    std::unique_ptr<SReply> m_reply;
    std::string m_error;
};

struct SFormItem
{
    std::string name;
    std::string content;
    std::string filename;
    std::string contentType;
};

// A plain HTTP/1.1 client for the tests and benchmarks: one connection to a loopback port,
// kept open between requests while the server allows it.
class CHttpClient
{
public:
    CHttpClient(std::string host, int port);
    ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // For every wait on the connection: connecting, sending, each read.
    void setTimeoutMs(int ms);
    // False: every request on a connection of its own, closed after the reply.
    void setKeepAlive(bool keep) { m_keepAlive = keep; }

    CResult get(const std::string& path, const SHeaders& headers = {});
    CResult head(const std::string& path, const SHeaders& headers = {});
    CResult post(const std::string& path, const std::string& body, const std::string& contentType);
    CResult post(const std::string& path, const SHeaders& headers, const std::string& body,
                 const std::string& contentType);
    CResult post(const std::string& path, const std::vector<SFormItem>& items);
    CResult send(const std::string& method, const std::string& path, const SHeaders& headers,
                 const std::string& body);

private:
    CResult exchange(const std::string& request, bool headOnly);
    bool connectSocket(std::string* error);
    void disconnect();

    std::string m_host;
    int m_port;
    int m_fd = -1;
    int m_timeoutMs = 10000;
    bool m_keepAlive = true;
};

} // namespace BL::Test
