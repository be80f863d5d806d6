#include "server/http_server.h"

#include "server/http_engine.h"
#include "server/util.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <thread>

namespace BL::Server {

namespace {

struct SRoute
{
    std::string method;
    std::string literal; // the pattern when it has no special character: compared as it is
    std::regex pattern;
    CHttpServer::FHandler handler;
    CHttpServer::FAsyncHandler asyncHandler;
};

std::string literalOf(const std::string& pattern)
{
    return pattern.find_first_of("\\^$.|?*+()[]{}") == std::string::npos ? pattern : std::string();
}

// The first route for the request, its groups put into the request's matches; null for none.
const SRoute* findRoute(const std::vector<SRoute>& routes, SHttpRequest& request)
{
    const std::string& method = request.method == "HEAD" ? std::string("GET") : request.method;
    for (const SRoute& route : routes) {
        if (route.method != method)
            continue;
        if (!route.literal.empty()) {
            if (request.path != route.literal)
                continue;
            request.matches.assign(1, request.path);
            return &route;
        }
        std::smatch match;
        if (!std::regex_match(request.path, match, route.pattern))
            continue;
        request.matches.clear();
        for (std::size_t i = 0; i < match.size(); ++i)
            request.matches.push_back(match[i].matched ? match[i].str() : std::string());
        return &route;
    }
    return nullptr;
}

} // namespace

class CHttpServer::CImpl : public CHttpEngine
{
public:
    explicit CImpl(SHttpLimits limits) : CHttpEngine(fitted(limits)), m_acceptor(io) {}

    static SHttpLimits fitted(SHttpLimits limits)
    {
        const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        if (limits.ioThreads <= 0)
            limits.ioThreads = cores;
        if (limits.workerThreads <= 0)
            limits.workerThreads = std::max(16, 4 * cores);
        return limits;
    }

    bool checkHead(SHttpRequest& request, SHttpResponse& response) override;
    bool dispatchInline(SHttpRequest& request, CHttpServer::FReply reply) override;
    bool admit(SHttpRequest& request, SHttpResponse& response) override;
    void respond(SHttpRequest& request, SHttpResponse& response, bool admitted) override;
    void fillError(const SHttpRequest& request, SHttpResponse& response) override;
    // A 500 for the exception being handled, through the service's handler.
    void replyToException(const SHttpRequest& request, SHttpResponse& response);
    void log(const SHttpRequest& request, const SHttpResponse& response) override
    {
        if (logger)
            logger(request, response);
    }

    void accept();
    void stopOnIoThread();

    std::vector<SRoute> routes;
    FAdmission headCheck;
    FAdmission admission;
    FHandler errorHandler;
    FException exceptionHandler;
    FLogger logger;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::unique_ptr<boost::asio::steady_timer> m_acceptRetry;
};

bool CHttpServer::CImpl::checkHead(SHttpRequest& request, SHttpResponse& response)
{
    if (!headCheck || !headCheck(request, response))
        return false;
    fillError(request, response);
    return true;
}

bool CHttpServer::CImpl::dispatchInline(SHttpRequest& request, CHttpServer::FReply reply)
{
    const SRoute* route = findRoute(routes, request);
    if (!route || !route->asyncHandler)
        return false;
    try {
        route->asyncHandler(request, reply);
    } catch (...) {
        SHttpResponse response;
        replyToException(request, response);
        reply(std::move(response));
    }
    return true;
}

bool CHttpServer::CImpl::admit(SHttpRequest& request, SHttpResponse& response)
{
    try {
        if (!admission || !admission(request, response))
            return false;
    } catch (...) {
        replyToException(request, response);
    }
    fillError(request, response);
    return true;
}

void CHttpServer::CImpl::replyToException(const SHttpRequest& request, SHttpResponse& response)
{
    response = SHttpResponse();
    response.status = 500;
    if (exceptionHandler)
        exceptionHandler(request, response, std::current_exception());
}

void CHttpServer::CImpl::respond(SHttpRequest& request, SHttpResponse& response, bool admitted)
{
    if (!admitted && admit(request, response))
        return;
    try {
        if (request.isMultipart() &&
            !parseMultipart(request.header("Content-Type"), request.body(), &request.files)) {
            response.status = 400;
            return fillError(request, response);
        }
        const SRoute* route = findRoute(routes, request);
        if (route && route->handler) {
            route->handler(request, response);
            if (response.status == -1)
                response.status = 200;
            return fillError(request, response);
        }
        response.status = 404;
    } catch (...) {
        replyToException(request, response);
    }
    fillError(request, response);
}

void CHttpServer::CImpl::fillError(const SHttpRequest& request, SHttpResponse& response)
{
    if (response.status >= 400 && response.body.empty() && !response.stream && errorHandler)
        errorHandler(request, response);
}

void CHttpServer::CImpl::accept()
{
    m_acceptor.async_accept(
        boost::asio::make_strand(io),
        [this](boost::system::error_code error, boost::asio::ip::tcp::socket socket) {
            if (error == boost::asio::error::operation_aborted || !m_acceptor.is_open())
                return;
            if (error) {
                // Out of descriptors, most likely: give the closing connections a moment.
                m_acceptRetry =
                    std::make_unique<boost::asio::steady_timer>(io, std::chrono::milliseconds(50));
                m_acceptRetry->async_wait([this](boost::system::error_code) { accept(); });
                return;
            }
            startSession(std::move(socket));
            accept();
        });
}

void CHttpServer::CImpl::stopOnIoThread()
{
    stopping = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    if (m_acceptRetry)
        m_acceptRetry->cancel();
    closeIdleSessions();
}

CHttpServer::CHttpServer(SHttpLimits limits) : m_impl(std::make_unique<CImpl>(limits)) {}

CHttpServer::~CHttpServer() = default;

void CHttpServer::route(const std::string& method, const std::string& pattern, FHandler handler)
{
    m_impl->routes.push_back({method, literalOf(pattern), std::regex(pattern), std::move(handler), nullptr});
}

void CHttpServer::routeAsync(const std::string& method, const std::string& pattern, FAsyncHandler handler)
{
    m_impl->routes.push_back({method, literalOf(pattern), std::regex(pattern), nullptr, std::move(handler)});
}

void CHttpServer::setHeadCheck(FAdmission check)
{
    m_impl->headCheck = std::move(check);
}

void CHttpServer::setAdmission(FAdmission admission)
{
    m_impl->admission = std::move(admission);
}

void CHttpServer::setErrorHandler(FHandler handler)
{
    m_impl->errorHandler = std::move(handler);
}

void CHttpServer::setExceptionHandler(FException handler)
{
    m_impl->exceptionHandler = std::move(handler);
}

void CHttpServer::setLogger(FLogger logger)
{
    m_impl->logger = std::move(logger);
}

int CHttpServer::bind(const std::string& host, int port)
{
    using boost::asio::ip::tcp;
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    if (error)
        throw std::runtime_error("cannot listen on " + host + ": not an IP address");
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    tcp::acceptor& acceptor = m_impl->m_acceptor;
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    // A deep queue: a burst of clients connecting at once must not overflow it.
    if (!error)
        acceptor.listen(4096, error);
    if (error) {
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                                 error.message());
    }
    return acceptor.local_endpoint().port();
}

void CHttpServer::run()
{
    CImpl& impl = *m_impl;
    if (impl.stopping)
        return;
    impl.startWorkers();
    impl.accept();
    std::vector<std::thread> threads;
    for (int i = 1; i < impl.limits.ioThreads; ++i)
        threads.emplace_back([&impl] { impl.io.run(); });
    impl.io.run();
    for (std::thread& thread : threads)
        thread.join();
    impl.stopWorkers();
}

void CHttpServer::stop()
{
    boost::asio::post(
        m_impl->io, [impl = m_impl.get()] { impl->stopOnIoThread(); });
}

} // namespace BL::Server
