#include "server_test_support.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QFile>
#include <QImage>
#include <QThread>
#include <QUuid>
#include <random>
#include <stdexcept>

namespace BL::Test {

const char clientBoundary[] = "---------------------------dev-brightloom";

CTestServer::CTestServer(BL::Server::SServiceOptions options)
{
    if (!m_dir.isValid())
        throw std::runtime_error("no temporary directory");
    options.listenHost = "127.0.0.1";
    options.listenPort = 0;
    if (options.dataDir.empty())
        options.dataDir = m_dir.path().toStdString();
    m_dataDir = QString::fromStdString(options.dataDir);
    options.accessLog = qEnvironmentVariableIsSet("BL_TEST_ACCESS_LOG");
    m_service = std::make_unique<BL::Server::CService>(options);
    m_port = m_service->bind();
    m_thread = std::thread([this] { m_service->run(); });
}

CTestServer::~CTestServer()
{
    m_service->stop();
    m_thread.join();
}

std::unique_ptr<CHttpClient> CTestServer::client() const
{
    return loopbackClient(m_port);
}

std::unique_ptr<CHttpClient> loopbackClient(int port)
{
    auto client = std::make_unique<CHttpClient>("127.0.0.1", port);
    client->setTimeoutMs(20000);
    return client;
}

BL::Server::SServiceOptions nodeOptions(const std::string& database, const QString& sharedDir)
{
    BL::Server::SServiceOptions options;
    options.databaseUrl = database;
    options.objectsDir = sharedDir.toStdString() + "/objects";
    options.hashKeyPath = sharedDir.toStdString() + "/hash.key";
    options.publicUrl = "http://shots.example.test";
    return options;
}

static QImage noiseImage(int width, int height, unsigned seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | (random() & 0xffffffu);
    }
    return image;
}

static std::string encode(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format))
        throw std::runtime_error(std::string("cannot encode ") + format);
    return bytes.toStdString();
}

std::string makePng(int width, int height, unsigned seed)
{
    return encode(noiseImage(width, height, seed), "PNG");
}

std::string makeJpeg(int width, int height, unsigned seed)
{
    return encode(noiseImage(width, height, seed), "JPG");
}

static std::string uuidText()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

std::string clientMultipart(const std::string& hash, const std::string& code, const std::string& picture,
                            const std::string* secondPicture)
{
    const std::string b = clientBoundary;
    std::string body = "--" + b + "\r\n";
    if (!hash.empty())
        body += "Content-Disposition: form-data; name=\"hash\"\r\n\r\n" + hash + "\r\n--" + b + "\r\n";
    if (!code.empty())
        body += "Content-Disposition: form-data; name=\"code\"\r\n\r\n" + code + "\r\n--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"upload-file\"; filename=\"" + uuidText() + ".png\"\r\n";
    body += "Content-Type: image/png\r\n\r\n" + picture;
    if (secondPicture) {
        body += "\r\n--" + b + "\r\n";
        body +=
            "Content-Disposition: form-data; name=\"upload-file2\"; filename=\"" + uuidText() + ".png\"\r\n";
        body += "Content-Type: image/png\r\n\r\n" + *secondPicture;
    }
    body += "\r\n--" + b + "--\r\n";
    return body;
}

std::string withField(const std::string& multipart, const std::string& name, const std::string& value)
{
    return std::string("--") + clientBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value + "\r\n" + multipart;
}

std::string clientMultipartType()
{
    return std::string("multipart/form-data; boundary=") + clientBoundary;
}

CResult postUpload(CHttpClient& client, const std::string& hash, const std::string& code,
                   const std::string& picture, const std::string* secondPicture)
{
    return client.post("/api/upload.php", clientMultipart(hash, code, picture, secondPicture),
                       clientMultipartType().c_str());
}

std::string reserveCode(CHttpClient& client)
{
    auto res = client.post("/api/reserve_code", "", "application/x-www-form-urlencoded");
    return res && res->status == 200 ? jsonValue(res->body, "code") : std::string();
}

SReserved reserve(CHttpClient& client)
{
    auto res = client.post("/api/reserve_code", "", "application/x-www-form-urlencoded");
    if (!res || res->status != 200)
        return {};
    return {jsonValue(res->body, "code"), codeOfUrl(jsonValue(res->body, "url"))};
}

static std::string attributeAfter(const std::string& html, const std::string& from, const std::string& name)
{
    const std::size_t start = html.find(from);
    if (start == std::string::npos)
        return {};
    const std::string prefix = name + "=\"";
    const std::size_t value = html.find(prefix, start);
    if (value == std::string::npos)
        return {};
    const std::size_t begin = value + prefix.size();
    return html.substr(begin, html.find('"', begin) - begin);
}

SWebForm loadForm(CHttpClient& client, const std::string& pagePath, const std::string& cookie)
{
    SHeaders headers;
    if (!cookie.empty())
        headers.emplace_back("Cookie", cookie);
    auto page = client.get(pagePath.c_str(), headers);
    if (!page)
        return {};
    SWebForm form;
    form.action = attributeAfter(page->body, "<form", "action");
    form.token = attributeAfter(page->body, "name=\"csrf\"", "value");
    for (std::size_t i = 0, n = page->headerCount("Set-Cookie"); i < n; ++i) {
        const std::string set = page->header("Set-Cookie", i);
        if (set.rfind("bl_form=", 0) == 0)
            form.cookie = set.substr(0, set.find(';'));
    }
    return form;
}

CResult submitForm(CHttpClient& client, const std::string& pagePath, const std::string& fields,
                   const std::string& cookie)
{
    const SWebForm form = loadForm(client, pagePath, cookie);
    std::string cookies = cookie;
    if (!form.cookie.empty())
        cookies += (cookies.empty() ? "" : "; ") + form.cookie;
    SHeaders headers;
    if (!cookies.empty())
        headers.emplace_back("Cookie", cookies);
    const std::string body = fields + (fields.empty() ? "" : "&") + "csrf=" + form.token;
    return client.post(form.action.empty() ? pagePath.c_str() : form.action.c_str(), headers, body,
                       "application/x-www-form-urlencoded");
}

bool waitForPreviews(CHttpClient& client, const std::string& code)
{
    QDeadlineTimer ceiling(30000);
    for (;;) {
        auto thumbnail = client.get("/" + code + "-thumb.png");
        if (thumbnail && thumbnail->status == 200)
            return true;
        if (ceiling.hasExpired())
            return false;
        QThread::msleep(5);
    }
}

std::string codeOfUrl(const std::string& url)
{
    const std::size_t slash = url.rfind('/');
    return slash == std::string::npos ? std::string() : url.substr(slash + 1);
}

std::string jsonValue(const std::string& body, const std::string& key)
{
    const std::string marker = "\"" + key + "\":";
    std::size_t start = body.find(marker);
    if (start == std::string::npos)
        return {};
    start += marker.size();
    const std::size_t end = body.find_first_of(",}", start);
    std::string value = body.substr(start, end - start);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

std::string readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

} // namespace BL::Test
