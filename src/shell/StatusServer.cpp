// The status page on GNU libmicrohttpd, run from Qt's event loop: the
// library's epoll descriptor and its next time-out wake it, so everything,
// the chat server's JSON included, happens on the one thread. Connections
// are accepted here, so that those past the limit are closed at once and a
// full descriptor table pauses accepting instead of spinning.
#include "StatusServer.h"

#include "server/ChatServer.h"
#include "server/ServerStatus.h"

#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <fcntl.h>
#include <microhttpd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>

// The page lives in a static library: nothing would pull it in otherwise.
// Outside any namespace, as the macro requires.
static void initStatusResources()
{
    Q_INIT_RESOURCE(status);
}

struct StatusServer::Answer {
    unsigned status;
    const char* type; // nullptr for an answer with no content of its own
    std::string body;
};

namespace {

std::string resource(const char* name)
{
    QFile file(QString(":/status/") + name);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(std::string("no resource ") + name);
    return file.readAll().toStdString();
}

// The chat needs descriptors of its own (the engine, the user file): the page
// never takes more than half of them.
unsigned connectionLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return StatusServer::maxConnections;
    return static_cast<unsigned>(std::clamp<rlim_t>(limit.rlim_cur / 2, 1, StatusServer::maxConnections));
}

} // namespace

void StatusServer::Stop::operator()(MHD_Daemon* daemon) const
{
    MHD_stop_daemon(daemon);
}

StatusServer::StatusServer(ChatServer& server) : server_(server)
{
    initStatusResources();
    due_.setSingleShot(true);
    connect(&due_, &QTimer::timeout, this, &StatusServer::serve);
    resume_.setSingleShot(true);
    resume_.setInterval(acceptPauseMs);
    connect(&resume_, &QTimer::timeout, this, [this] { accepting_->setEnabled(true); });
    late_.setSingleShot(true);
    connect(&late_, &QTimer::timeout, this, &StatusServer::closeLate);
}

StatusServer::~StatusServer()
{
    accepting_.reset();
    ready_.reset();
    daemon_.reset();
    if (listening_ >= 0)
        ::close(listening_);
}

bool StatusServer::listen(const std::string& address, uint16_t port, std::string& error)
{
    QHostAddress host;
    if (!host.setAddress(QString::fromStdString(address))) {
        error = "'" + address + "' is not a numeric address";
        return false;
    }
    QTcpServer tcp;
    if (!tcp.listen(host, port)) {
        error = tcp.errorString().toStdString();
        return false;
    }
    // A copy of the listening socket is kept; Qt's closes with `tcp`.
    const int socket = ::fcntl(static_cast<int>(tcp.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (socket < 0) {
        error = std::strerror(errno);
        return false;
    }
    auto handler = [](void* self, MHD_Connection* connection, const char* path, const char* method,
                      const char* /*version*/, const char* /*body*/, size_t* bodySize, void** state) {
        return static_cast<MHD_Result>(onRequest(self, connection, path, method, *bodySize, *state));
    };
    MHD_NotifyConnectionCallback connections = [](void* self, MHD_Connection* connection, void** /*context*/,
                                                  MHD_ConnectionNotificationCode code) {
        onConnection(self, connection, code == MHD_CONNECTION_NOTIFY_STARTED);
    };
    MHD_RequestCompletedCallback answered = [](void* self, MHD_Connection* connection, void** /*state*/,
                                               MHD_RequestTerminationCode /*code*/) { onAnswered(self, connection); };
    daemon_.reset(MHD_start_daemon(MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, handler, this,
                                   MHD_OPTION_CONNECTION_LIMIT, connectionLimit(), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                                   maxPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds,
                                   MHD_OPTION_CONNECTION_MEMORY_LIMIT, maxHeaderBytes, MHD_OPTION_NOTIFY_CONNECTION,
                                   connections, this, MHD_OPTION_NOTIFY_COMPLETED, answered, this, MHD_OPTION_END));
    if (!daemon_) {
        ::close(socket);
        error = "the HTTP server did not start";
        return false;
    }
    listening_ = socket;
    port_ = tcp.serverPort();
    accepting_ = std::make_unique<QSocketNotifier>(listening_, QSocketNotifier::Read);
    connect(accepting_.get(), &QSocketNotifier::activated, this, &StatusServer::acceptSome);
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD);
    ready_ = std::make_unique<QSocketNotifier>(info->epoll_fd, QSocketNotifier::Read);
    connect(ready_.get(), &QSocketNotifier::activated, this, &StatusServer::serve);
    serve();
    return true;
}

void StatusServer::acceptSome()
{
    // A few at a time, so that a burst of connections never holds up the chat.
    for (int accepted = 0; accepted < 16; ++accepted) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        const int client =
            ::accept4(listening_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            const int error = errno;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection stays queued and the socket readable: waiting
                // is the only way not to spin until a descriptor is free.
                accepting_->setEnabled(false);
                resume_.start();
            }
            if (error == EINTR || error == ECONNABORTED)
                continue;
            break;
        }
        // Past the connection limits the library closes it at once.
        MHD_add_connection(daemon_.get(), client, reinterpret_cast<const sockaddr*>(&address), size);
    }
    serve();
}

void StatusServer::serve()
{
    MHD_run(daemon_.get());
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(daemon_.get(), &wait) == MHD_YES)
        due_.start(static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(wait, INT_MAX)));
    else
        due_.stop();
}

void StatusServer::onConnection(void* self, void* connection, bool started)
{
    auto* server = static_cast<StatusServer*>(self);
    if (!started) {
        server->clients_.erase(connection);
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(static_cast<MHD_Connection*>(connection), MHD_CONNECTION_INFO_CONNECTION_FD);
    server->clients_[connection] = {info->connect_fd, Clock::now() + requestTime};
    if (!server->late_.isActive())
        server->late_.start(requestTime);
}

void StatusServer::onAnswered(void* self, void* connection)
{
    auto* server = static_cast<StatusServer*>(self);
    // On a connection kept alive, the next request has its time from now.
    if (auto client = server->clients_.find(connection); client != server->clients_.end()) {
        client->second.deadline = Clock::now() + requestTime;
        if (!server->late_.isActive())
            server->late_.start(requestTime);
    }
}

void StatusServer::closeLate()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    bool closed = false;
    for (auto& [connection, client] : clients_) {
        if (client.deadline <= now) {
            // The library reads the end of the stream and closes the
            // connection as it closes any other.
            ::shutdown(client.socket, SHUT_RDWR);
            client.deadline = Clock::time_point::max();
            closed = true;
        } else {
            next = std::min(next, client.deadline);
        }
    }
    if (next != Clock::time_point::max())
        late_.start(std::chrono::ceil<std::chrono::milliseconds>(next - now));
    if (closed)
        serve();
}

int StatusServer::onRequest(void* self, void* connection, const char* path, const char* method, size_t& bodySize,
                            void*& state)
{
    auto* http = static_cast<MHD_Connection*>(connection);
    Answer answer;
    if (state == nullptr) {
        // The header is complete. A body is never used: one of a known small
        // length is read and dropped; any other is refused before it is read,
        // and the library closes the connection after that answer.
        state = http;
        const char* length = MHD_lookup_connection_value(http, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        unsigned long long announced = 0;
        if (length != nullptr && (std::from_chars(length, length + std::strlen(length), announced).ec != std::errc() ||
                                  announced > maxBodyBytes))
            answer = {MHD_HTTP_CONTENT_TOO_LARGE, nullptr, {}};
        else if (length == nullptr &&
                 MHD_lookup_connection_value(http, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
            answer = {MHD_HTTP_LENGTH_REQUIRED, nullptr, {}};
        else
            return MHD_YES;
    } else if (bodySize > 0) {
        bodySize = 0;
        return MHD_YES;
    } else {
        try {
            answer = static_cast<StatusServer*>(self)->answer(method, path);
        } catch (const std::exception&) {
            answer = {MHD_HTTP_INTERNAL_SERVER_ERROR, nullptr, {}};
        }
    }
    // The request is whole: the time that counts now is the client's to take the answer.
    auto* server = static_cast<StatusServer*>(self);
    if (auto client = server->clients_.find(connection); client != server->clients_.end())
        client->second.deadline = Clock::time_point::max();
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    if (answer.type != nullptr) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
        // Always the state of now; and the page may load nothing from elsewhere.
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    }
    MHD_Result queued = MHD_queue_response(http, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

StatusServer::Answer StatusServer::answer(const char* method, const char* path) const
{
    const std::string_view route(path);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return {MHD_HTTP_NOT_FOUND, nullptr, {}};
    if (route == "/")
        return {MHD_HTTP_OK, "text/html; charset=utf-8", resource("index.html")};
    if (route == "/status.css")
        return {MHD_HTTP_OK, "text/css; charset=utf-8", resource("status.css")};
    if (route == "/status.js")
        return {MHD_HTTP_OK, "text/javascript; charset=utf-8", resource("status.js")};
    if (route == "/status.json")
        return {MHD_HTTP_OK, "application/json", statusJson(server_)};
    return {MHD_HTTP_NOT_FOUND, nullptr, {}};
}
