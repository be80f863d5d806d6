// Throughput of brightloom-server on loopback: code reservations per second, uploads per second
// of a 200 KB PNG, and one client's uploads of a screen-sized one, also through Qt's network stack.
// Prints figures only; it checks nothing.
//
// Usage: brightloom-server-bench [--port N] [--seconds S] [--clients C] [--data DIR]
//   --port N  measure a server already listening on 127.0.0.1:N instead of one started in process

#include "http_client.h"
#include "server/service.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using BL::Test::CHttpClient;

namespace {

const char boundary[] = "---------------------------dev-brightloom";

// A screen-grab-like picture: flat areas, a gradient and a noisy band sized to about 200 KB.
std::string makeBenchPng(std::size_t targetBytes)
{
    std::mt19937 random(7);
    for (int noiseRows = 16;; noiseRows += 8) {
        QImage image(1024, 640, QImage::Format_RGB32);
        QPainter painter(&image);
        painter.fillRect(image.rect(), QColor(240, 240, 236));
        QLinearGradient gradient(0, 0, 1024, 0);
        gradient.setColorAt(0, QColor(40, 60, 90));
        gradient.setColorAt(1, QColor(120, 160, 200));
        painter.fillRect(0, 0, 1024, 60, gradient);
        painter.end();
        for (int y = 100; y < 100 + noiseRows && y < image.height(); ++y) {
            auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = 0xff000000u | (random() & 0xffffffu);
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        if (static_cast<std::size_t>(bytes.size()) >= targetBytes || noiseRows > 600)
            return bytes.toStdString();
    }
}

std::string multipartBody(const std::string& picture)
{
    const std::string b = boundary;
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"upload-file\"; filename=\"bench.png\"\r\n" +
           "Content-Type: image/png\r\n\r\n" + picture + "\r\n--" + b + "--\r\n";
}

constexpr int pacedUploads = 40;
constexpr std::chrono::milliseconds pacedPause(200);

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A refusal (a limit, the quota) comes as 200 with an error status in its body.
bool answeredOk(const BL::Test::CResult& res)
{
    return res && res->status == 200 && res->body.find("\"status\":\"ok\"") != std::string::npos;
}

struct SResult
{
    long ok = 0;
    long failed = 0;
    double seconds = 0;
};

// Runs `clients` threads, each with its own keep-alive connection, issuing `request` until the
// time is up or the count limit is reached.
template<typename Request>
SResult measure(int port, int clients, double seconds, long maxRequests, Request request)
{
    std::atomic<long> ok{0};
    std::atomic<long> failed{0};
    std::atomic<long> issued{0};
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            CHttpClient client("127.0.0.1", port);
            client.setKeepAlive(true);
            while (std::chrono::steady_clock::now() < end && issued.fetch_add(1) < maxRequests)
                if (request(client))
                    ++ok;
                else
                    ++failed;
        });
    }
    for (auto& thread : threads)
        thread.join();
    SResult result;
    result.ok = ok;
    result.failed = failed;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

void print(const char* what, const SResult& result, const char* unit)
{
    std::printf("%-14s %9.0f %s   (%ld ok, %ld failed, %.2f s)\n", what, result.ok / result.seconds, unit,
                result.ok, result.failed, result.seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // for Qt's network stack
    int port = 0;
    double seconds = 3;
    int clients = 8;
    std::string dataDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--port" && value) {
            port = std::atoi(value);
        } else if (arg == "--seconds" && value) {
            seconds = std::atof(value);
        } else if (arg == "--clients" && value) {
            clients = std::atoi(value);
        } else if (arg == "--data" && value) {
            dataDir = value;
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--seconds S] [--clients C] [--data DIR]\n", argv[0]);
            return 2;
        }
        ++i;
    }
    if (seconds <= 0 || seconds > 60 || clients < 1 || clients > 64) {
        std::fprintf(stderr, "seconds must be in (0, 60], clients in [1, 64]\n");
        return 2;
    }

    std::unique_ptr<BL::Server::CService> service;
    std::thread serverThread;
    char tempDir[] = "/tmp/bl-bench.XXXXXX";
    if (port == 0) {
        if (dataDir.empty()) {
            if (!mkdtemp(tempDir)) {
                std::perror("mkdtemp");
                return 1;
            }
            dataDir = tempDir;
        }
        BL::Server::SServiceOptions options;
        options.listenHost = "127.0.0.1";
        options.listenPort = 0;
        options.dataDir = dataDir;
        options.accessLog = false;
        // This measures the engine, not the per-address limits: one address sends everything.
        options.reservationsPerMinute = options.uploadsPerMinute = 1000000000;
        service = std::make_unique<BL::Server::CService>(options);
        port = service->bind();
        serverThread = std::thread([&service] { service->run(); });
        std::printf("server in process on 127.0.0.1:%d, data in %s\n", port, dataDir.c_str());
    } else {
        std::printf("server at 127.0.0.1:%d\n", port);
    }
    std::printf("%u hardware threads, %d client connections, %.1f s per run\n",
                std::thread::hardware_concurrency(), clients, seconds);

    const SResult reservations = measure(port, clients, seconds, 1000000, [](CHttpClient& client) {
        auto res = client.post("/api/reserve_code", "", "application/x-www-form-urlencoded");
        return answeredOk(res);
    });
    print("reservations", reservations, "res/s");

    const std::string picture = makeBenchPng(200 * 1024);
    const std::string body = multipartBody(picture);
    const std::string contentType = std::string("multipart/form-data; boundary=") + boundary;
    std::printf("upload picture: %zu bytes PNG\n", picture.size());
    const SResult uploads = measure(port, clients, seconds, 100000, [&](CHttpClient& client) {
        auto res = client.post("/api/upload.php", body, contentType.c_str());
        return answeredOk(res);
    });
    print("uploads", uploads, "uploads/s");

    // A screen-sized picture, one at a time with a pause after each, as shots come: how long a
    // shot's upload waits for its answer. The pause lets the preview of the last one be made.
    // Sent once in one write with no delay, as curl sends, and once through Qt's network stack,
    // as the program sends it: Nagle on, the header and the body's pieces in writes of their own.
    const std::string screen = makeBenchPng(1024 * 1024);
    const std::string screenBody = multipartBody(screen);
    const auto report = [&screen](const char* how, std::vector<double> waits) {
        std::sort(waits.begin(), waits.end());
        if (!waits.empty())
            std::printf("screen-sized upload (%zu bytes PNG) %s, %zu one at a time: min %.1f median %.1f "
                        "p90 %.1f max %.1f ms\n",
                        screen.size(), how, waits.size(), waits.front(), waits[waits.size() / 2],
                        waits[waits.size() * 9 / 10], waits.back());
    };
    {
        std::vector<double> waits;
        CHttpClient client("127.0.0.1", port);
        for (int i = 0; i < pacedUploads; ++i) {
            const auto sent = std::chrono::steady_clock::now();
            auto res = client.post("/api/upload.php", screenBody, contentType.c_str());
            if (!answeredOk(res)) {
                std::printf("screen-sized upload failed: %s\n",
                            res ? res->body.c_str() : res.error().c_str());
                break;
            }
            waits.push_back(msSince(sent));
            std::this_thread::sleep_for(pacedPause);
        }
        report("in one write", std::move(waits));
    }
    {
        std::vector<double> waits;
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/api/upload.php").arg(port)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray(contentType.c_str()));
        const QByteArray qtBody = QByteArray::fromStdString(screenBody);
        for (int i = 0; i < pacedUploads; ++i) {
            const auto sent = std::chrono::steady_clock::now();
            const std::unique_ptr<QNetworkReply> reply(network.post(request, qtBody));
            QEventLoop loop;
            QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            const double ms = msSince(sent);
            const QByteArray answer = reply->readAll();
            if (reply->error() != QNetworkReply::NoError || !answer.contains("\"status\":\"ok\"")) {
                std::printf("screen-sized upload through Qt failed: %s %s\n",
                            qPrintable(reply->errorString()), answer.constData());
                break;
            }
            waits.push_back(ms);
            std::this_thread::sleep_for(pacedPause);
        }
        report("through Qt's network stack", std::move(waits));
    }

    if (service) {
        service->stop();
        serverThread.join();
        if (dataDir == tempDir) {
            const std::string cleanup = "rm -rf '" + dataDir + "'";
            if (std::system(cleanup.c_str()) != 0)
                std::fprintf(stderr, "could not remove %s\n", dataDir.c_str());
        }
    }
    return 0;
}
