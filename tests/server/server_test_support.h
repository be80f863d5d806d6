#pragma once

#include "http_client.h"
#include "server/http_server.h"
#include "server/service.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <thread>

namespace BL::Test {

// The service running in this process on an ephemeral loopback port, with its own data directory
// unless the options name one.
class CTestServer
{
public:
    explicit CTestServer(BL::Server::SServiceOptions options = {});
    ~CTestServer();
    CTestServer(const CTestServer&) = delete;
    CTestServer& operator=(const CTestServer&) = delete;

    int port() const { return m_port; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    QString dataDir() const { return m_dataDir; }
    BL::Server::CService& service() { return *m_service; }
    std::unique_ptr<CHttpClient> client() const;

private:
    QTemporaryDir m_dir;
    QString m_dataDir;
    std::unique_ptr<BL::Server::CService> m_service;
    std::thread m_thread;
    int m_port = 0;
};

std::unique_ptr<CHttpClient> loopbackClient(int port);

// The options of one of several nodes: the PostgreSQL `database`, and the picture directory and
// hash key below `sharedDir`, which every node shares.
BL::Server::SServiceOptions nodeOptions(const std::string& database, const QString& sharedDir);

// A PNG of random pixels; `seed` makes it distinct and repeatable.
std::string makePng(int width, int height, unsigned seed);
std::string makeJpeg(int width, int height, unsigned seed);

// The multipart body exactly as the desktop client writes it, with its boundary.
extern const char clientBoundary[];
std::string clientMultipart(const std::string& hash, const std::string& code, const std::string& picture,
                            const std::string* secondPicture = nullptr);
std::string clientMultipartType();
// `multipart` (a body of clientMultipart()) with one more text field in front.
std::string withField(const std::string& multipart, const std::string& name, const std::string& value);

// POST of the client's picture upload; returns the response or nullptr when the exchange failed.
CResult postUpload(CHttpClient& client, const std::string& hash, const std::string& code,
                   const std::string& picture, const std::string* secondPicture = nullptr);

// The "code" of a reservation reply (the uploader's secret), or empty.
std::string reserveCode(CHttpClient& client);

// Both halves of a reservation: the secret the upload names and the public code of the link.
struct SReserved
{
    std::string secret;
    std::string code;
};
SReserved reserve(CHttpClient& client);

// The form of a web page as a browser loads it: where it posts, its token, and the form cookie
// the page gave (empty when the request's cookie already had one).
struct SWebForm
{
    std::string action;
    std::string token;
    std::string cookie;
};
SWebForm loadForm(CHttpClient& client, const std::string& pagePath, const std::string& cookie = {});
// Loads the page at `pagePath` and posts its form with the url-encoded `fields` and the form's
// token, as a browser does; `cookie` goes with both requests.
CResult submitForm(CHttpClient& client, const std::string& pagePath, const std::string& fields,
                   const std::string& cookie = {});

// Waits until the previews made after the upload of `code` are named (its thumbnail is served);
// false when they are not within a generous ceiling.
bool waitForPreviews(CHttpClient& client, const std::string& code);

// The code at the end of a returned link.
std::string codeOfUrl(const std::string& url);
// The value of a key of a compact reply (the replies these tests read have no commas in values).
std::string jsonValue(const std::string& body, const std::string& key);

std::string readFile(const QString& path);

} // namespace BL::Test
