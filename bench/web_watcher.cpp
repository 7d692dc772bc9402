// What a browser left open on the web administration costs the service: this client logs in to a
// web port, opens two WebSockets with the session cookie, sends {"cmd":"watch"} on one and
// {"cmd":"log","lines":0,"follow":true} on the other, and reads and counts every message that
// arrives on either until SIGTERM or SIGINT, or --seconds. It then prints one line of key=value
// counts and exits 0, or 1 when a socket closed (or the server answered an error) before that.
// SIGUSR1 prints the counts so far and goes on.
//
// A Qt client on purpose, so that the messages are read as a WebSocket library reads them, but it
// shares no code with the server it watches.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitClosedEarly = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLogin = 3;
constexpr int kSetupTimeoutMs = 15000;
// A forgotten watcher ends by itself.
constexpr double kMaxSeconds = 3600;

int g_signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

struct Options {
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;
    QString user;
    double seconds = kMaxSeconds;
};

void usage(std::FILE* to) {
    std::fputs("usage: osk_web_watcher --port WEB_PORT --user NAME [--host 127.0.0.1] [--seconds S]\n"
               "The password is one line of standard input. Prints `ready` once both WebSockets\n"
               "stream, then, at SIGTERM/SIGINT or after S seconds (at most 3600), one line of counts\n"
               "(web_watcher ...); SIGUSR1 prints the counts so far (web_watcher_now ...).\n"
               "Exit status: 0, 1 a WebSocket closed or was refused early, 2 usage, 3 login failed.\n",
               to);
}

// One WebSocket and what came over it.
struct Stream {
    QString name;
    QString request;
    QWebSocket socket;
    qint64 messages = 0;
    qint64 bytes = 0;
    qint64 replies = 0;
    qint64 events = 0;
    qint64 errors = 0;
    bool streaming = false;
};

class Watcher : public QObject {
public:
    explicit Watcher(Options options, QString password)
        : m_options(std::move(options))
        , m_password(std::move(password)) {
        m_watch.name = QStringLiteral("watch");
        m_watch.request = QStringLiteral(R"({"cmd":"watch"})");
        m_log.name = QStringLiteral("log");
        m_log.request = QStringLiteral(R"({"cmd":"log","lines":0,"follow":true})");
        m_signals = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_signals, &QSocketNotifier::activated, this, [this] {
            char byte = 0;
            if (::read(g_signalPipe[0], &byte, 1) == 1 && byte == char(SIGUSR1))
                printCounts(QByteArrayLiteral("web_watcher_now"), false);
            else
                finish(false, {});
        });
        m_setupTimer.setSingleShot(true);
        connect(&m_setupTimer, &QTimer::timeout, this, [this] {
            finish(true, QStringLiteral("not streaming after %1 ms").arg(kSetupTimeoutMs), kExitLogin);
        });
    }

    void start() {
        m_clock.start();
        m_setupTimer.start(kSetupTimeoutMs);
        QNetworkRequest request(url(QStringLiteral("http"), QStringLiteral("/api/login")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("user"), m_options.user},
                                                          {QStringLiteral("password"), m_password}})
                                    .toJson(QJsonDocument::Compact);
        QNetworkReply* reply = m_http.post(request, body);
        connect(reply, &QNetworkReply::finished, this, [this, reply] { loggedIn(reply); });
    }

private:
    QUrl url(const QString& scheme, const QString& path) const {
        QUrl result;
        result.setScheme(scheme);
        result.setHost(m_options.host);
        result.setPort(m_options.port);
        result.setPath(path);
        return result;
    }

    void loggedIn(QNetworkReply* reply) {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        QByteArray cookie;
        for (const QNetworkCookie& each : m_http.cookieJar()->cookiesForUrl(reply->url())) {
            if (each.name() == "osk_session")
                cookie = each.toRawForm(QNetworkCookie::NameAndValueOnly);
        }
        if (status != 200 || !answer.value(QStringLiteral("ok")).toBool() || cookie.isEmpty()) {
            finish(true,
                   QStringLiteral("login answered %1: %2")
                       .arg(status)
                       .arg(QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact))),
                   kExitLogin);
            return;
        }
        for (Stream* stream : {&m_watch, &m_log})
            open(*stream, cookie);
        if (m_options.seconds > 0)
            QTimer::singleShot(int(m_options.seconds * 1000), this, [this] { finish(false, {}); });
    }

    void open(Stream& stream, const QByteArray& cookie) {
        connect(&stream.socket, &QWebSocket::connected, this,
                [&stream] { stream.socket.sendTextMessage(stream.request); });
        connect(&stream.socket, &QWebSocket::textMessageReceived, this,
                [this, &stream](const QString& message) { received(stream, message); });
        connect(&stream.socket, &QWebSocket::binaryMessageReceived, this, [this, &stream](const QByteArray&) {
            ++stream.messages;
            ++stream.errors;
            finish(true, stream.name + QStringLiteral(": a binary message"));
        });
        connect(&stream.socket, &QWebSocket::disconnected, this, [this, &stream] {
            finish(true, QStringLiteral("%1: closed by the server (code %2, \"%3\")")
                             .arg(stream.name)
                             .arg(int(stream.socket.closeCode()))
                             .arg(stream.socket.closeReason()));
        });
        // Qt 6.4 names the signal error(), as the getter.
        connect(&stream.socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                [this, &stream] {
                    finish(true, stream.name + QStringLiteral(": ") + stream.socket.errorString());
                });
        QNetworkRequest request(url(QStringLiteral("ws"), QStringLiteral("/api/ws")));
        request.setRawHeader(QByteArrayLiteral("Cookie"), cookie);
        stream.socket.open(request);
    }

    void received(Stream& stream, const QString& message) {
        ++stream.messages;
        stream.bytes += message.toUtf8().size();
        const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
        if (object.contains(QStringLiteral("event"))) {
            ++stream.events;
        } else if (object.value(QStringLiteral("ok")).toBool()) {
            ++stream.replies;
            stream.streaming = true;
        } else {
            ++stream.errors;
            finish(true, stream.name + QStringLiteral(": ") + message);
            return;
        }
        if (!m_ready && m_watch.streaming && m_log.streaming) {
            m_ready = true;
            m_setupTimer.stop();
            std::printf("ready after_ms=%lld\n", static_cast<long long>(m_clock.elapsed()));
            std::fflush(stdout);
        }
    }

    // Prints the counts once and ends the event loop.
    void finish(bool failed, const QString& why, int status = kExitClosedEarly) {
        if (m_finished)
            return;
        m_finished = true;
        if (failed)
            std::fprintf(stderr, "osk_web_watcher: %s\n", qUtf8Printable(why));
        printCounts(QByteArrayLiteral("web_watcher"), failed);
        for (Stream* stream : {&m_watch, &m_log}) {
            stream->socket.disconnect(this);
            stream->socket.abort();
        }
        QCoreApplication::exit(failed ? status : kExitOk);
    }

    void printCounts(const QByteArray& label, bool failed) const {
        std::printf("%s port=%d seconds=%.1f watch_messages=%lld watch_replies=%lld state_events=%lld "
                    "watch_bytes=%lld log_messages=%lld log_replies=%lld log_events=%lld log_bytes=%lld "
                    "errors=%lld closed_early=%d\n",
                    label.constData(), m_options.port, double(m_clock.elapsed()) / 1000.0,
                    static_cast<long long>(m_watch.messages), static_cast<long long>(m_watch.replies),
                    static_cast<long long>(m_watch.events), static_cast<long long>(m_watch.bytes),
                    static_cast<long long>(m_log.messages), static_cast<long long>(m_log.replies),
                    static_cast<long long>(m_log.events), static_cast<long long>(m_log.bytes),
                    static_cast<long long>(m_watch.errors + m_log.errors), failed ? 1 : 0);
        std::fflush(stdout);
    }

    Options m_options;
    QString m_password;
    QNetworkAccessManager m_http;
    Stream m_watch;
    Stream m_log;
    QSocketNotifier* m_signals = nullptr;
    QTimer m_setupTimer;
    QElapsedTimer m_clock;
    bool m_ready = false;
    bool m_finished = false;
};

bool parse(const QStringList& args, Options& options) {
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            std::exit(kExitOk);
        }
        if (i + 1 >= args.size())
            return false;
        const QString value = args[++i];
        bool numeric = false;
        const double number = value.toDouble(&numeric);
        if (arg == QLatin1String("--host"))
            options.host = value;
        else if (arg == QLatin1String("--user"))
            options.user = value;
        else if (arg == QLatin1String("--port") && numeric && number >= 1 && number <= 65535 &&
                 number == int(number))
            options.port = int(number);
        else if (arg == QLatin1String("--seconds") && numeric && number > 0 && number <= kMaxSeconds)
            options.seconds = number;
        else
            return false;
    }
    return options.port != 0 && !options.user.isEmpty();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(QCoreApplication::arguments(), options)) {
        usage(stderr);
        return kExitUsage;
    }
    std::string password;
    if (!std::getline(std::cin, password) || password.empty()) {
        std::fputs("osk_web_watcher: no password on standard input\n", stderr);
        return kExitUsage;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        std::perror("osk_web_watcher: socketpair");
        return kExitUsage;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);

    Watcher watcher(options, QString::fromStdString(password));
    watcher.start();
    return app.exec();
}
