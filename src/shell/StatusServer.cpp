// The status page on Qt HTTP Server.
#include "StatusServer.h"

#include "server/ChatServer.h"
#include "server/ServerStatus.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>

// The page lives in a static library: nothing would pull it in otherwise.
// Outside any namespace, as the macro requires.
static void initStatusResources()
{
    Q_INIT_RESOURCE(status);
}

namespace {

QHttpServerResponse answer(const QByteArray& mimeType, const QByteArray& body)
{
    QHttpServerResponse response(mimeType, body);
    // Always the state of now; and the page may load nothing from elsewhere.
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    response.setHeader("X-Content-Type-Options", "nosniff");
    return response;
}

QHttpServerResponse resource(const char* name, const QByteArray& mimeType)
{
    QFile file(QString(":/status/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QHttpServerResponse(QHttpServerResponse::StatusCode::InternalServerError);
    return answer(mimeType, file.readAll());
}

} // namespace

StatusServer::StatusServer(ChatServer& server) : server_(server), http_(std::make_unique<QHttpServer>())
{
    initStatusResources();
    constexpr auto GET = QHttpServerRequest::Method::Get;
    http_->route("/", GET, [] { return resource("index.html", "text/html; charset=utf-8"); });
    http_->route("/status.css", GET, [] { return resource("status.css", "text/css; charset=utf-8"); });
    http_->route("/status.js", GET, [] { return resource("status.js", "text/javascript; charset=utf-8"); });
    http_->route("/status.json", GET,
                 [this] { return answer("application/json", QByteArray::fromStdString(statusJson(server_))); });
}

StatusServer::~StatusServer() = default;

bool StatusServer::listen(const std::string& address, uint16_t port, std::string& error)
{
    QHostAddress host;
    if (!host.setAddress(QString::fromStdString(address))) {
        error = "'" + address + "' is not a numeric address";
        return false;
    }
    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(host, port)) {
        error = tcp->errorString().toStdString();
        return false;
    }
    port_ = tcp->serverPort();
    // The HTTP server takes the listening socket over.
    http_->bind(tcp.release());
    return true;
}
