#include "web/web_server.h"

#include "common/clock.h"
#include "common/owned_file.h"
#include "common/program_files.h"
#include "control/control_protocol.h"
#include "core/server_core.h"
#include "core/service_metrics.h"
#include "core/web_users.h"
#include "web/bounded_file.h"
#include "web/tls_pair.h"
#include "web/web_socket_peer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QtConcurrent/QtConcurrentRun>
#include <sodium.h>

namespace osk {

namespace {
const QByteArray kCookieName = QByteArrayLiteral("osk_session");
const QByteArray kTokenHeader = QByteArrayLiteral("x-osk-token");
const QString kApiPrefix = QStringLiteral("/api/");
const char* const kHadRequest = "oskHadRequest";
constexpr qint64 kMaxPemBytes = 1024 * 1024;

// What follows a command over a WebSocket is what the socket is for; a POST answers once.
bool streams(const ControlRequest& request) {
    return request.command == QLatin1String("watch") || request.command == QLatin1String("follow") ||
           (request.command == QLatin1String("log") &&
            request.arguments.value(QStringLiteral("follow")).toBool());
}

// A browser says which page a request comes from; a request without Origin is no browser's.
bool sameOrigin(const QHttpServerRequest& request) {
    const QByteArray origin = request.value(QByteArrayLiteral("origin"));
    return origin.isEmpty() || QUrl(QString::fromUtf8(origin)).authority() ==
                                   QString::fromUtf8(request.value(QByteArrayLiteral("host")));
}

QByteArray cookieValue(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray pair = part.trimmed();
        if (pair.startsWith(name + '='))
            return pair.mid(name.size() + 1);
    }
    return {};
}

bool sameSecret(const QByteArray& given, const QByteArray& expected) {
    return given.size() == expected.size() &&
           sodium_memcmp(given.constData(), expected.constData(), size_t(expected.size())) == 0;
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject tokenRefusal() {
    return controlError(QStringLiteral("Falta el testigo de la sesión (X-Osk-Token) o no es el suyo."));
}

} // namespace

// One POST of a command: what the command sends is gathered, and answered as one JSON object when
// the command has ended (at once, or when a command that answers later, a backup, finishes).
class WebServer::CommandPeer final : public ControlPeer {
public:
    CommandPeer(QTcpSocket* socket, const QHttpServerRequest& request, QString caller,
                std::function<void(CommandPeer*)> done)
        : m_socket(socket)
        , m_request(&request)
        , m_caller(std::move(caller))
        , m_done(std::move(done)) {}

    void send(const QJsonObject& line) override {
        if (line.contains(QStringLiteral("event"))) {
            m_events.append(line);
        } else if (m_reply.isEmpty()) {
            m_reply = line;
            if (std::exchange(m_replyLater, false))
                finish();
        }
    }
    void sendPaced(std::function<std::optional<QJsonObject>()> next) override {
        while (const std::optional<QJsonObject> line = next())
            m_events.append(*line);
    }
    bool canSendPaced() const override { return true; }
    void keepOpen() override { m_waiting = true; }
    void replyLater() override {
        m_waiting = true;
        m_replyLater = true;
    }
    void finish() override {
        if (std::exchange(m_waiting, false))
            m_done(this);
    }
    QObject* context() override { return &m_context; }
    QString caller() const override { return m_caller; }

    bool isWaiting() const { return m_waiting; }
    QTcpSocket* socket() const { return m_socket.data(); }
    const QHttpServerRequest& request() const { return *m_request; }
    QJsonObject reply() const {
        QJsonObject reply =
            m_reply.isEmpty() ? controlError(QStringLiteral("La orden no ha respondido.")) : m_reply;
        if (!m_events.isEmpty())
            reply.insert(QStringLiteral("events"), m_events);
        return reply;
    }

private:
    QPointer<QTcpSocket> m_socket;
    // The HTTP server keeps a request as long as its socket.
    const QHttpServerRequest* m_request;
    QString m_caller;
    std::function<void(CommandPeer*)> m_done;
    QObject m_context;
    QJsonObject m_reply;
    QJsonArray m_events;
    bool m_waiting = false;
    bool m_replyLater = false;
};

WebServer::WebServer(ServerCore& core, WebSettings settings, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_core(core)
    , m_settings(std::move(settings))
    , m_limits(*this)
    , m_commands(core, core.clock().now(), *this)
    , m_sessions(core.clock())
    , m_throttle(core.clock())
    , m_page(QStringLiteral(OSK_CHART_JS)) {
    m_passwordChecks.setMaxThreadCount(1);
    // Every refused upgrade and every malformed request would be a line in the journal, written
    // at a stranger's pace.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::onWebSocket);
}

WebServer::~WebServer() {
    // A password check still running finishes with nobody to tell.
    m_passwordChecks.waitForDone();
    m_webSockets.clear();
    m_waitingCommands.clear();
}

Status WebServer::start() {
    if (Status valid = checkWebSettings(m_settings); !valid)
        return valid;
    std::unique_ptr<QTcpServer> server;
    if (m_settings.usesTls()) {
        const Result<QSslConfiguration> tls = tlsConfiguration();
        if (!tls)
            return Status::failure(tls.error());
        auto secure = std::make_unique<WebSslServer>(m_limits, this);
        secure->setSslConfiguration(*tls);
        server = std::move(secure);
    } else {
        server = std::make_unique<WebTcpServer>(m_limits, this);
    }
    if (!server->listen(QHostAddress(m_settings.address), quint16(m_settings.port)))
        return Status::failure(
            webSettingProblem(QStringLiteral("Port"), QStringLiteral("no se puede escuchar en %1:%2 (%3).")
                                                          .arg(m_settings.address)
                                                          .arg(m_settings.port)
                                                          .arg(server->errorString())));
    bind(server.release());
    return {};
}

Result<QSslConfiguration> WebServer::tlsConfiguration() const {
    using Configuration = Result<QSslConfiguration>;
    const QDir folder(m_core.programFolder());
    const Result<QByteArray> certificatePem =
        readRegularFile(folder.absoluteFilePath(m_settings.certificate), kMaxPemBytes);
    if (!certificatePem)
        return Configuration::failure(
            webSettingProblem(QStringLiteral("Certificate"),
                              QStringLiteral("%1: %2.").arg(m_settings.certificate, certificatePem.error())));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(*certificatePem, QSsl::Pem);
    if (chain.isEmpty())
        return Configuration::failure(
            webSettingProblem(QStringLiteral("Certificate"),
                              QStringLiteral("%1 no es un certificado PEM.").arg(m_settings.certificate)));
    const Result<QByteArray> keyPem = readRegularFile(folder.absoluteFilePath(m_settings.key), kMaxPemBytes);
    if (!keyPem)
        return Configuration::failure(webSettingProblem(
            QStringLiteral("Key"), QStringLiteral("%1: %2.").arg(m_settings.key, keyPem.error())));
    QSslKey key(*keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(*keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        return Configuration::failure(
            webSettingProblem(QStringLiteral("Key"),
                              QStringLiteral("%1 no es una clave privada RSA o EC en PEM sin contraseña.")
                                  .arg(m_settings.key)));
    if (!keyFitsCertificate(*certificatePem, *keyPem))
        return Configuration::failure(
            webSettingProblem(QStringLiteral("Key"), QStringLiteral("%1 no es la clave del certificado %2.")
                                                         .arg(m_settings.key, m_settings.certificate)));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    return tls;
}

quint16 WebServer::port() const {
    const QList<QTcpServer*> listening = servers();
    return listening.isEmpty() ? 0 : listening.first()->serverPort();
}

QString WebServer::callerName(const QString& user, const QHostAddress& address) const {
    return QStringLiteral("%1 por la web desde %2").arg(user, address.toString());
}

// One request per connection, answered and closed: the HTTP server of this Qt neither keeps the
// order of requests sent one after the other on a connection, nor always sees the second, and an
// answer that waits (a login, a backup) would meet the next request's. What else comes on a
// connection that has had its request is dropped with it.
bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const bool upgrade =
        request.value(QByteArrayLiteral("upgrade")).compare("websocket", Qt::CaseInsensitive) == 0;
    if (socket->property(kHadRequest).toBool())
        return !upgrade;
    socket->setProperty(kHadRequest, true);
    // Qt hands the socket to the WebSocket server when this says yes and writes nothing; what
    // may upgrade is decided here, before the handshake.
    if (upgrade)
        return webSocketRefusal(request).status == 0;
    const QString path = request.url().path();
    const bool post = request.method() == QHttpServerRequest::Method::Post;
    if (request.body().size() > WebConnectionLimits::kMaxBodyBytes) {
        answerJson(socket, request, 413, controlError(QStringLiteral("La petición es demasiado grande.")));
        return true;
    }
    if (path == QLatin1String("/metrics") && request.method() == QHttpServerRequest::Method::Get) {
        metrics(request, socket);
        return true;
    }
    if (!path.startsWith(kApiPrefix)) {
        if (request.method() != QHttpServerRequest::Method::Get)
            return false;
        const std::optional<WebPage::File> file = m_page.find(path);
        if (!file)
            return false;
        answer(socket, request, {200, file->contentType, file->body, {}});
        return true;
    }
    if (path == QLatin1String("/api/ws")) {
        answerJson(socket, request, 400, controlError(QStringLiteral("Se esperaba una conexión WebSocket.")));
        return true;
    }
    if (!post) {
        answerJson(socket, request, 405, controlError(QStringLiteral("Se esperaba POST.")));
        return true;
    }
    const QString name = path.mid(kApiPrefix.size());
    if (name == QLatin1String("login"))
        login(request, socket);
    else if (name == QLatin1String("logout"))
        logout(request, socket);
    else if (name == QLatin1String("log-file"))
        logFile(request, socket);
    else
        command(name, request, socket);
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (socket->property(kHadRequest).toBool() && !request.value(QByteArrayLiteral("upgrade")).isEmpty() &&
        webSocketRefusal(request).status == 0)
        return; // an upgrade after another request: Qt closes the connection
    const Refusal refusal = webSocketRefusal(request);
    if (refusal.status != 0 && request.value(QByteArrayLiteral("upgrade")).size() > 0)
        answerJson(socket, request, refusal.status, controlError(refusal.reason));
    else
        answerJson(socket, request, 404, controlError(QStringLiteral("No existe.")));
}

// A WebSocket is the page's own: its path, a live session's cookie, and a browser's Origin that is
// this server's (another site's page would otherwise act with the administrator's cookie).
WebServer::Refusal WebServer::webSocketRefusal(const QHttpServerRequest& request) {
    if (request.url().path() != QLatin1String("/api/ws"))
        return {404, QStringLiteral("No existe.")};
    if (!m_sessions.find(cookieValue(request.value(QByteArrayLiteral("cookie")), kCookieName)))
        return {401, QStringLiteral("Inicie sesión.")};
    const QByteArray origin = request.value(QByteArrayLiteral("origin"));
    if (!origin.isEmpty() &&
        QUrl(QString::fromUtf8(origin)).authority() != QString::fromUtf8(request.value("host")))
        return {403, QStringLiteral("Origen no permitido.")};
    return {};
}

void WebServer::answer(QTcpSocket* socket, const QHttpServerRequest& request, Reply reply) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(reply.status));
    responder.writeHeader(QByteArrayLiteral("Content-Type"), reply.contentType);
    responder.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(reply.body.size()));
    responder.writeHeader(QByteArrayLiteral("Content-Security-Policy"),
                          QByteArrayLiteral("default-src 'self'"));
    responder.writeHeader(QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY"));
    responder.writeHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
    responder.writeHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
    responder.writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
    for (const auto& [name, value] : reply.headers)
        responder.writeHeader(name, value);
    responder.writeBody(reply.body);
    socket->disconnectFromHost();
}

void WebServer::answerJson(QTcpSocket* socket, const QHttpServerRequest& request, int status,
                           const QJsonObject& body) {
    answer(socket, request, {status, QByteArrayLiteral("application/json"), compact(body), {}});
}

void WebServer::login(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QHostAddress address = request.remoteAddress();
    // Another site's page could post a form here: to log the browser in as someone else, or to
    // spend the administrator's address's tries. A form cannot send JSON, nor this Origin.
    if (!sameOrigin(request)) {
        answerJson(socket, request, 403, controlError(QStringLiteral("Origen no permitido.")));
        return;
    }
    if (!request.value(QByteArrayLiteral("content-type")).startsWith("application/json")) {
        answerJson(socket, request, 415,
                   controlError(QStringLiteral("Se esperaba Content-Type: application/json.")));
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(request.body());
    const QJsonValue user = document.object().value(QStringLiteral("user"));
    const QJsonValue password = document.object().value(QStringLiteral("password"));
    if (!user.isString() || !password.isString()) {
        answerJson(socket, request, 400,
                   controlError(QStringLiteral("Se esperaba {\"user\": ..., \"password\": ...}.")));
        return;
    }
    // No one's password: refused without a check, and without counting it.
    if (password.toString().toUtf8().size() > WebUsers::kMaxPasswordBytes) {
        answerJson(socket, request, 400,
                   controlError(QStringLiteral("La contraseña no puede pasar de %1 bytes.")
                                    .arg(WebUsers::kMaxPasswordBytes)));
        return;
    }
    if (m_throttle.isBanned(address)) {
        answerJson(socket, request, 429,
                   controlError(QStringLiteral("Demasiados intentos fallidos desde esta dirección: "
                                               "espere un minuto.")));
        return;
    }
    // One check at a time per address, so that the failures are counted before the next try.
    if (m_addressesLoggingIn.count(address.toString())) {
        answerJson(socket, request, 429,
                   controlError(QStringLiteral("Espere a que termine el inicio de sesión anterior.")));
        return;
    }
    if (m_pendingLogins >= kMaxPendingLogins) {
        answerJson(
            socket, request, 503,
            controlError(QStringLiteral("Hay demasiados inicios de sesión en curso; inténtelo más tarde.")));
        return;
    }
    ++m_pendingLogins;
    m_addressesLoggingIn.insert(address.toString());
    WebConnectionLimits::setAnswering(*socket, true);
    const QString usersPath = QDir(m_core.programFolder()).filePath(kWebUsersFileName);
    QFuture<bool> check = QtConcurrent::run(
        &m_passwordChecks, [usersPath, name = user.toString(), secret = password.toString()] {
            return WebUsers(usersPath).verify(name, secret);
        });
    check.then(this, [this, socket = QPointer<QTcpSocket>(socket), request = &request, address,
                      name = user.toString()](bool verified) {
        --m_pendingLogins;
        m_addressesLoggingIn.erase(address.toString());
        finishLogin(socket.data(), socket ? request : nullptr, address, name, verified);
    });
}

void WebServer::finishLogin(QTcpSocket* socket, const QHttpServerRequest* request,
                            const QHostAddress& address, const QString& user, bool verified) {
    if (verified)
        m_throttle.recordSuccess(address);
    else if (m_throttle.recordFailure(address))
        m_core.eventLog().AddLog(QStringLiteral("Acceso web cerrado durante un minuto a %1: cinco inicios de "
                                                "sesión fallidos.")
                                     .arg(address.toString()),
                                 LogKind::Error);
    if (!socket || !request || socket->state() != QAbstractSocket::ConnectedState)
        return; // the caller has gone: no session is opened for nobody
    WebConnectionLimits::setAnswering(*socket, false);
    if (!verified) {
        answerJson(socket, *request, 401, controlError(QStringLiteral("Usuario o contraseña incorrectos.")));
        return;
    }
    const WebSessions::Opened opened = m_sessions.open(user);
    m_core.eventLog().AddLog(
        QStringLiteral("Sesión web abierta por [%1] desde %2.").arg(user, address.toString()), LogKind::Info);
    QByteArray cookie = kCookieName + '=' + opened.id + "; Path=/; HttpOnly; SameSite=Strict";
    if (m_settings.usesTls())
        cookie += "; Secure";
    answer(socket, *request,
           {200,
            QByteArrayLiteral("application/json"),
            compact(
                {{QStringLiteral("ok"), true}, {QStringLiteral("token"), QString::fromLatin1(opened.token)}}),
            {{QByteArrayLiteral("Set-Cookie"), cookie}}});
}

void WebServer::logout(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QByteArray id = cookieValue(request.value(QByteArrayLiteral("cookie")), kCookieName);
    if (WebSessions::Session* session = m_sessions.find(id)) {
        if (!sameSecret(request.value(kTokenHeader), session->token)) {
            answerJson(socket, request, 403, tokenRefusal());
            return;
        }
        m_sessions.close(id);
        for (const auto& peer : m_webSockets) {
            if (peer->session() == id)
                peer->close();
        }
    }
    answer(socket, request,
           {200,
            QByteArrayLiteral("application/json"),
            compact({{QStringLiteral("ok"), true}}),
            {{QByteArrayLiteral("Set-Cookie"),
              kCookieName + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"}}});
}

// The session of a request that acts: its cookie and its token. Otherwise the request is answered
// with the refusal and there is none.
WebSessions::Session* WebServer::actingSession(const QHttpServerRequest& request, QTcpSocket* socket) {
    WebSessions::Session* session =
        m_sessions.find(cookieValue(request.value(QByteArrayLiteral("cookie")), kCookieName));
    if (!session) {
        answerJson(socket, request, 401, controlError(QStringLiteral("Inicie sesión.")));
        return nullptr;
    }
    if (!sameSecret(request.value(kTokenHeader), session->token)) {
        answerJson(socket, request, 403, tokenRefusal());
        return nullptr;
    }
    return session;
}

void WebServer::command(const QString& name, const QHttpServerRequest& request, QTcpSocket* socket) {
    WebSessions::Session* session = actingSession(request, socket);
    if (!session)
        return;
    const QJsonDocument body = QJsonDocument::fromJson(request.body());
    if (!request.body().trimmed().isEmpty() && !body.isObject()) {
        answerJson(socket, request, 400,
                   controlError(QStringLiteral("La petición debe ser un objeto JSON.")));
        return;
    }
    ControlRequest parsed{name, body.object()};
    parsed.arguments.remove(QStringLiteral("cmd"));
    if (!m_commands.knows(name)) {
        answerJson(socket, request, 404, controlError(QStringLiteral("Orden desconocida: %1.").arg(name)));
        return;
    }
    if (streams(parsed)) {
        answerJson(
            socket, request, 400,
            controlError(QStringLiteral("La orden [%1] se sigue por el WebSocket /api/ws.").arg(name)));
        return;
    }
    m_core.metrics().countCommand(AdminTransport::Web);
    auto peer =
        std::make_unique<CommandPeer>(socket, request, callerName(session->user, request.remoteAddress()),
                                      [this](CommandPeer* done) { finishCommand(done); });
    m_commands.execute(parsed, *peer);
    if (!peer->isWaiting()) {
        answerJson(socket, request, 200, peer->reply());
        return;
    }
    WebConnectionLimits::setAnswering(*socket, true);
    m_waitingCommands.push_back(std::move(peer));
}

// Later, from the event loop: the command's own signal is the one that tells.
void WebServer::finishCommand(CommandPeer* peer) {
    QMetaObject::invokeMethod(
        this,
        [this, peer] {
            const auto found = std::find_if(m_waitingCommands.begin(), m_waitingCommands.end(),
                                            [peer](const auto& owned) { return owned.get() == peer; });
            if (found == m_waitingCommands.end())
                return;
            if (QTcpSocket* socket = peer->socket()) {
                WebConnectionLimits::setAnswering(*socket, false);
                answerJson(socket, peer->request(), 200, peer->reply());
            }
            m_waitingCommands.erase(found);
        },
        Qt::QueuedConnection);
}

// Today's saved file of the event log, as it is on disk. A file only an attack could have made this
// large is not read into memory; nor are more than a few at once.
void WebServer::logFile(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (!actingSession(request, socket))
        return;
    const QString path = m_core.eventLog().dayFilePath(m_core.clock().now().date());
    const QString shown = QDir(m_core.programFolder()).relativeFilePath(path);
    Result<OwnedFile> file = OwnedFile::open(path, OwnedFile::Access::Read);
    if (!file && !QFileInfo::exists(path)) {
        answerJson(
            socket, request, 404,
            controlError(QStringLiteral("Todavía no se ha guardado el registro de hoy (%1).").arg(shown)));
        return;
    }
    if (!file) {
        answerJson(socket, request, 500, controlError(file.error()));
        return;
    }
    const Result<qint64> size = file->size();
    if (!size) {
        answerJson(socket, request, 500,
                   controlError(QStringLiteral("No se puede leer %1: %2").arg(shown, size.error())));
        return;
    }
    if (*size > kMaxLogFileBytes) {
        answerJson(socket, request, 413,
                   controlError(QStringLiteral("El registro de hoy ocupa %1 MiB: cópielo del servidor (%2).")
                                    .arg(*size / (1024 * 1024))
                                    .arg(shown)));
        return;
    }
    if (m_logDownloads >= kMaxLogDownloads) {
        answerJson(
            socket, request, 429,
            controlError(QStringLiteral("Hay otras descargas del registro en curso; inténtelo más tarde.")));
        return;
    }
    const Result<QByteArray> bytes = file->readFrom(0);
    if (!bytes) {
        answerJson(socket, request, 500,
                   controlError(QStringLiteral("No se puede leer %1: %2").arg(shown, bytes.error())));
        return;
    }
    // Counted until the connection has gone, with what it had still to send.
    ++m_logDownloads;
    connect(socket, &QObject::destroyed, this, [this] { --m_logDownloads; });
    const QString name = QFileInfo(path).fileName();
    answer(socket, request,
           {200,
            QByteArrayLiteral("application/octet-stream"),
            *bytes,
            {{QByteArrayLiteral("Content-Disposition"),
              QByteArrayLiteral("attachment; filename=\"") + name.toLatin1() + '"'}}});
}

void WebServer::metrics(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (m_settings.metricsToken.isEmpty()) {
        missingHandler(request, socket);
        return;
    }
    // The scheme's name in any case, as HTTP has it.
    const QByteArray given = request.value(QByteArrayLiteral("authorization"));
    const bool bearer = given.left(7).toLower() == "bearer ";
    if (!bearer || !sameSecret(given.mid(7), m_settings.metricsToken.toUtf8())) {
        answer(socket, request,
               {401,
                QByteArrayLiteral("text/plain; charset=utf-8"),
                QByteArrayLiteral("Unauthorized\n"),
                {{QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer")}}});
        return;
    }
    answer(socket, request,
           {200, QByteArray(ServiceMetrics::kContentType), m_core.metrics().exposition(), {}});
}

void WebServer::onWebSocket() {
    while (std::unique_ptr<QWebSocket> socket{nextPendingWebSocketConnection()}) {
        const QByteArray id = cookieValue(socket->request().rawHeader("Cookie"), kCookieName);
        WebSessions::Session* session = m_sessions.find(id);
        if (!session) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Inicie sesión."));
            socket.release()->deleteLater();
            continue;
        }
        ++session->openSockets;
        const QString caller = callerName(session->user, socket->peerAddress());
        m_webSockets.push_back(
            std::make_unique<WebSocketPeer>(std::move(socket), m_commands, m_core.metrics(), id, caller,
                                            [this](WebSocketPeer* gone) { dropWebSocket(gone); }));
    }
}

// Later, from the event loop: the socket's own signal may be the one that tells. Until then the
// peer is still owned here, so no other can have its address.
void WebServer::dropWebSocket(WebSocketPeer* gone) {
    if (WebSessions::Session* owner = m_sessions.find(gone->session()))
        --owner->openSockets;
    releaseWebSocket(gone);
}

void WebServer::releaseWebSocket(WebSocketPeer* gone) {
    QMetaObject::invokeMethod(
        this,
        [this, gone] {
            const auto found = std::find_if(m_webSockets.begin(), m_webSockets.end(),
                                            [gone](const auto& owned) { return owned.get() == gone; });
            if (found == m_webSockets.end())
                return;
            // A command still running on it lets it go when it ends.
            if (gone->isBusy())
                gone->whenIdle([this, gone] { releaseWebSocket(gone); });
            else
                m_webSockets.erase(found);
        },
        Qt::QueuedConnection);
}

Status startWebAdministration(ServerCore& core, std::unique_ptr<WebServer>& server) {
    const WebSettings settings = readWebSettings(core.settingsFile());
    if (!settings.enabled)
        return {};
    auto started = std::make_unique<WebServer>(core, settings);
    if (Status listening = started->start(); !listening)
        return listening;
    core.eventLog().AddLog(
        QStringLiteral("Administración web en %1://%2:%3/.")
            .arg(settings.usesTls() ? QStringLiteral("https") : QStringLiteral("http"), settings.address)
            .arg(started->port()),
        LogKind::Info);
    server = std::move(started);
    return {};
}

} // namespace osk
