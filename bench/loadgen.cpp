// Load generator for the session protocol. One thread, level-triggered epoll, nonblocking sockets.
//
//   rtt     N sessions, set up one after the other (see establish()) as clients do: the first
//           message "USER_AVAILABLE=<name>", then "USER=<name>"; then each strictly alternates
//           "USER_AVAILABLE=<name>" about its own user and waiting for its reply. After a warm-up, every
//           round trip that starts and ends inside the measured window is timed with the steady
//           (nanosecond) clock.
//   accept  connect, read "CONNECTED", close, again; N attempts in flight at any time. The close
//           is abortive (RST) by default: a FIN close leaves the client's port in TIME_WAIT, and
//           with the kernel reusing such a port about once per second the ephemeral range, not
//           the server, sets the rate (some 14,000 connections/s with 28,000 ports). To the
//           server either close is the peer going away: its read fails or returns end of file.
//   hold    N connections each become a session (greeting, one request, its reply), then stay
//           connected for --seconds doing nothing, so that the server's memory per session can
//           be read from outside. "ready sessions=N" is printed once all of them are in place.
//
// Given a second server (--port2), rtt and accept measure both in alternating phases of --phase
// seconds, in the order first, second, second, first, and so on, each server's sessions held open
// while the other's phases run: on a shared machine whose speed drifts within seconds, both see
// the same machine, and the phases' means are compared rather than two runs made a minute apart.
// A phase ends with no new request or connection; the ones in flight finish before the next begins.
//
// The result is one line of key=value pairs per server on stdout, including the share of a CPU
// the generator itself used in that server's measured phases (loadgen_cpu_pct: near 100, the
// generator was the limit) and, given the server's PID (--pid, --pid2), the server's own
// (server_cpu_pct, from /proc/PID/schedstat). Setting up retries refused or failed connects until
// --setup-timeout (counted as retries); after that, a failed connect, a connection closed or reset
// by the server, or a reply later than --timeout counts as an error. The exit status is 0 only when
// there was no error.
//
// The wire has no framing: a reply may arrive in pieces, and the server's liveness "CHECK" may
// arrive on its own or glued to either side of a reply. A reply counts as received once the bytes
// received since the request, with every "CHECK" removed, contain "USER_OK" (or "USER_DUPLICATE",
// counted apart, which a server may answer while a previous run's sessions are still closing).

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kConnected = "CONNECTED";
constexpr std::string_view kMaxUsersRaised = "MAX_USERS_RAISED";
constexpr std::string_view kCheck = "CHECK";
constexpr std::string_view kUserOk = "USER_OK";
constexpr std::string_view kUserDuplicate = "USER_DUPLICATE";
constexpr int kMaxEvents = 512;
constexpr int kMaxConnections = 10000;
// Unmatched bytes kept per connection before the peer is declared to be speaking something else.
constexpr size_t kMaxInbox = 4096;
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(1);

enum class Mode { Rtt, Accept, Hold };

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int port2 = 0; // a second server, measured in alternating phases
    pid_t pid = 0; // the servers' processes, for their CPU time
    pid_t pid2 = 0;
    double phaseSeconds = 0.25;
    int connections = 1;
    double seconds = 5;
    double warmup = 1;
    Mode mode = Mode::Rtt;
    double timeoutSeconds = 5; // one request's reply, one connection's greeting
    double setupSeconds = 15;  // all N connections greeted (rtt, hold)
    bool resetOnClose = true;  // accept: close with RST rather than FIN
};

Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: osk_loadgen --port P [--host 127.0.0.1] [--mode rtt|accept|hold]\n"
        "                   [--connections N] [--seconds S] [--warmup S]\n"
        "                   [--timeout S] [--setup-timeout S] [--close reset|fin]\n"
        "                   [--pid PID] [--port2 P2 [--pid2 PID2] [--phase S]]\n"
        "  rtt     N sessions validate their user, then alternate USER_AVAILABLE=<it> and its reply; prints\n"
        "          round trips per second and p50/p90/p99 latency in microseconds\n"
        "  accept  connect, read CONNECTED, close, with N attempts in flight; prints\n"
        "          connections per second; closes with RST unless --close fin\n"
        "  hold    N sessions connected for S seconds (prints 'ready' once in place)\n"
        "  --port2 measures a second server too (rtt, accept), in alternating phases of S seconds\n"
        "          (default 0.25), S seconds in all for each; one result line per server\n"
        "  --pid   the server's PID: its CPU share in the measured time is reported\n");
}

bool parseNumber(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool parseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "osk_loadgen: missing value for %s\n", argv[i]);
            return false;
        }
        const std::string_view value = argv[++i];
        double number = 0;
        const bool numeric = parseNumber(argv[i], number);
        if (arg == "--host") {
            options.host = value;
        } else if (arg == "--mode") {
            if (value == "rtt") {
                options.mode = Mode::Rtt;
            } else if (value == "accept") {
                options.mode = Mode::Accept;
            } else if (value == "hold") {
                options.mode = Mode::Hold;
            } else {
                std::fprintf(stderr, "osk_loadgen: unknown mode %s\n", argv[i]);
                return false;
            }
        } else if (arg == "--close" && (value == "reset" || value == "fin")) {
            options.resetOnClose = value == "reset";
        } else if ((arg == "--port" || arg == "--port2") && numeric && number >= 1 && number <= 65535 &&
                   number == int(number)) {
            (arg == "--port" ? options.port : options.port2) = static_cast<int>(number);
        } else if ((arg == "--pid" || arg == "--pid2") && numeric && number >= 1 && number == int(number)) {
            (arg == "--pid" ? options.pid : options.pid2) = static_cast<pid_t>(number);
        } else if (arg == "--phase" && numeric && number >= 0.01 && number <= 60) {
            options.phaseSeconds = number;
        } else if (arg == "--connections" && numeric && number >= 1 && number <= kMaxConnections &&
                   number == int(number)) {
            options.connections = static_cast<int>(number);
        } else if (arg == "--seconds" && numeric && number > 0 && number <= 3600) {
            options.seconds = number;
        } else if (arg == "--warmup" && numeric && number >= 0 && number <= 3600) {
            options.warmup = number;
        } else if (arg == "--timeout" && numeric && number > 0 && number <= 600) {
            options.timeoutSeconds = number;
        } else if (arg == "--setup-timeout" && numeric && number > 0 && number <= 600) {
            options.setupSeconds = number;
        } else {
            std::fprintf(stderr, "osk_loadgen: bad option or value: %s %s\n", argv[i - 1], argv[i]);
            return false;
        }
    }
    if (options.port == 0) {
        std::fprintf(stderr, "osk_loadgen: --port is required\n");
        return false;
    }
    if (options.port2 != 0 && options.mode == Mode::Hold) {
        std::fprintf(stderr, "osk_loadgen: --port2 measures rates; hold mode takes one server\n");
        return false;
    }
    return true;
}

// Bytes received on one connection and not yet matched to a reply.
class Inbox final {
public:
    // Appends and drops every complete "CHECK". A "CHECK" cut in two stays at the end until its
    // second half arrives.
    void append(const char* data, size_t size) {
        m_bytes.append(data, size);
        for (size_t at = m_bytes.find(kCheck); at != std::string::npos; at = m_bytes.find(kCheck, at)) {
            m_bytes.erase(at, kCheck.size());
        }
    }
    // Consumes everything up to and including the first `token`, if present.
    bool take(std::string_view token) {
        const size_t at = m_bytes.find(token);
        if (at == std::string::npos) {
            return false;
        }
        m_bytes.erase(0, at + token.size());
        return true;
    }
    bool overflowing() const { return m_bytes.size() > kMaxInbox; }
    void clear() { m_bytes.clear(); }

private:
    std::string m_bytes;
};

enum class State { Idle, AwaitGreeting, AwaitReply, Done, Dead };

struct Connection {
    int fd = -1;
    State state = State::Idle;
    std::string request;
    std::string user; // the user it validates before the measured requests
    bool validated = false;
    Inbox inbox;
    Clock::time_point startedAt; // of the connection attempt or of the pending request
    Clock::time_point retryAt;
};

struct Counters {
    uint64_t duplicates = 0; // USER_DUPLICATE replies
    uint64_t refused = 0;    // MAX_USERS_RAISED greetings
    uint64_t retries = 0;    // connects retried while setting up (rtt, hold)
    uint64_t errors = 0;     // failed connects, resets, closes by the server, time-outs, garbage
};

struct Percentiles {
    double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles, in microseconds.
Percentiles percentiles(std::vector<uint32_t>& nanos) {
    Percentiles result;
    if (nanos.empty()) {
        return result;
    }
    std::sort(nanos.begin(), nanos.end());
    const auto at = [&](double p) {
        const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(nanos.size())));
        return static_cast<double>(nanos[std::clamp<size_t>(rank, 1, nanos.size()) - 1]) / 1000.0;
    };
    result.p50 = at(0.50);
    result.p90 = at(0.90);
    result.p99 = at(0.99);
    result.max = static_cast<double>(nanos.back()) / 1000.0;
    return result;
}

uint32_t nanosSince(Clock::time_point start, Clock::time_point end) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    return static_cast<uint32_t>(std::clamp<int64_t>(ns, 0, std::numeric_limits<uint32_t>::max()));
}

// The shares of one CPU that this process and the server used during the measured phases. On a
// small machine the generator and the server compete for the CPUs, and this tells which of the
// two ran out first; the server's CPU time per round trip is steadier than its rate.
class PhaseMeter final {
public:
    explicit PhaseMeter(pid_t server)
        : m_server(server) {}

    void begin() {
        m_wallStart = Clock::now();
        m_ownStart = ownSeconds();
        m_serverStart = serverSeconds();
    }
    void end() {
        m_wall += std::chrono::duration<double>(Clock::now() - m_wallStart).count();
        m_own += ownSeconds() - m_ownStart;
        m_serverTime += serverSeconds() - m_serverStart;
    }
    double loadgenPercent() const { return m_wall > 0 ? 100.0 * m_own / m_wall : 0; }
    bool knowsServer() const { return m_server > 0; }
    double serverPercent() const { return m_wall > 0 ? 100.0 * m_serverTime / m_wall : 0; }

private:
    static double ownSeconds() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
        };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    // The first field of /proc/PID/schedstat: nanoseconds on a CPU, exact where utime and stime
    // are counted in ticks.
    double serverSeconds() const {
        if (m_server <= 0) {
            return 0;
        }
        const std::string path = "/proc/" + std::to_string(m_server) + "/schedstat";
        std::FILE* file = std::fopen(path.c_str(), "re");
        unsigned long long nanos = 0;
        if (file) {
            if (std::fscanf(file, "%llu", &nanos) != 1) {
                nanos = 0;
            }
            std::fclose(file);
        }
        return static_cast<double>(nanos) / 1e9;
    }

    pid_t m_server;
    Clock::time_point m_wallStart;
    double m_ownStart = 0, m_serverStart = 0;
    double m_wall = 0, m_own = 0, m_serverTime = 0;
};

class Generator final {
public:
    Generator(const Options& options, int port, pid_t server)
        : m_options(options)
        , m_port(port)
        , m_connections(static_cast<size_t>(options.connections))
        , m_meter(server) {
        for (size_t i = 0; i < m_connections.size(); ++i) {
            // Names of this run alone: a server keeps the previous run's users until its sweep
            // finds them gone, and would answer their names "USER_DUPLICATE" meanwhile.
            const std::string name = "u" + std::to_string(::getpid()) + "-" + std::to_string(i);
            m_connections[i].request = "USER_AVAILABLE=" + name;
            m_connections[i].user = "USER=" + name;
        }
        // Room for every timing of a run at the rates this machine reaches, so that the measured
        // phases never wait for the vector to grow.
        m_latencies.reserve(options.mode == Mode::Rtt      ? size_t{1} << 22
                            : options.mode == Mode::Accept ? size_t{1} << 20
                                                           : 0);
    }
    ~Generator() {
        for (Connection& connection : m_connections) {
            closeConnection(connection, State::Idle);
        }
        if (m_epoll >= 0) {
            ::close(m_epoll);
        }
    }
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    // Exit status 2 for a bad address, 1 for a failure of the system, 0 when ready.
    int open() {
        m_address.sin_family = AF_INET;
        m_address.sin_port = htons(static_cast<uint16_t>(m_port));
        if (::inet_pton(AF_INET, m_options.host.c_str(), &m_address.sin_addr) != 1) {
            std::fprintf(stderr, "osk_loadgen: bad IPv4 address %s\n", m_options.host.c_str());
            return 2;
        }
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0) {
            std::perror("osk_loadgen: epoll_create1");
            return 1;
        }
        return 0;
    }

    // Turns the connections into sessions (rtt), or waits until the server admits a connection
    // (accept).
    bool prepare() { return m_options.mode == Mode::Rtt ? establish() : awaitAdmission(); }

    // One phase of the load until phaseEnd; what it measures counts when `measured`.
    void runPhase(Clock::time_point phaseEnd, bool measured) {
        if (measured) {
            m_meter.begin();
        }
        const Clock::time_point phaseStart = Clock::now();
        if (m_options.mode == Mode::Rtt) {
            rttPhase(phaseStart, phaseEnd, measured);
        } else {
            acceptPhase(phaseStart, phaseEnd, measured);
        }
        if (measured) {
            m_measuredSeconds += std::chrono::duration<double>(phaseEnd - phaseStart).count();
            m_meter.end();
        }
        finishPhase();
    }

    void printResult() {
        const Percentiles p = percentiles(m_latencies);
        const double rate =
            m_measuredSeconds > 0 ? static_cast<double>(m_latencies.size()) / m_measuredSeconds : 0;
        const auto count = [](uint64_t n) {
            return static_cast<unsigned long long>(n);
        };
        std::string serverCpu;
        if (m_meter.knowsServer()) {
            serverCpu =
                " server_cpu_pct=" + std::to_string(static_cast<int>(std::lround(m_meter.serverPercent())));
        }
        if (m_options.mode == Mode::Rtt) {
            std::printf(
                "mode=rtt port=%d connections=%d warmup_s=%.3f seconds=%.3f round_trips=%llu "
                "round_trips_per_s=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f duplicates=%llu "
                "refused=%llu retries=%llu errors=%llu loadgen_cpu_pct=%.0f%s\n",
                m_port, m_options.connections, m_options.warmup, m_measuredSeconds, count(m_latencies.size()),
                rate, p.p50, p.p90, p.p99, p.max, count(m_counters.duplicates), count(m_counters.refused),
                count(m_counters.retries), count(m_counters.errors), m_meter.loadgenPercent(),
                serverCpu.c_str());
        } else {
            std::printf("mode=accept port=%d in_flight=%d warmup_s=%.3f seconds=%.3f connections_made=%llu "
                        "connections_per_s=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f refused=%llu "
                        "retries=%llu errors=%llu loadgen_cpu_pct=%.0f%s\n",
                        m_port, m_options.connections, m_options.warmup, m_measuredSeconds,
                        count(m_latencies.size()), rate, p.p50, p.p90, p.p99, p.max,
                        count(m_counters.refused), count(m_counters.retries), count(m_counters.errors),
                        m_meter.loadgenPercent(), serverCpu.c_str());
        }
    }

    bool clean() const { return m_counters.errors == 0; }

private:
    // Starts a nonblocking connect. Readiness to read (the greeting) or an error is what is
    // waited for, so the socket is registered for input only.
    bool startConnect(Connection& connection, Clock::time_point now) {
        connection.inbox.clear();
        connection.startedAt = now;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&m_address), sizeof m_address) != 0 &&
            errno != EINPROGRESS) {
            ::close(fd);
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = static_cast<uint64_t>(&connection - m_connections.data());
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            return false;
        }
        connection.fd = fd;
        connection.state = State::AwaitGreeting;
        return true;
    }

    void closeConnection(Connection& connection, State next) {
        if (connection.fd >= 0) {
            ::close(connection.fd);
            connection.fd = -1;
        }
        connection.state = next;
        connection.validated = false;
    }

    void retryLater(Connection& connection, Clock::time_point now, Clock::duration delay) {
        closeConnection(connection, State::Idle);
        connection.retryAt = now + delay;
    }

    // Reads what is there. False when the peer closed or the connection failed.
    bool receive(Connection& connection) {
        char buffer[4096];
        const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            connection.inbox.append(buffer, static_cast<size_t>(n));
            return !connection.inbox.overflowing();
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    // A request is a few bytes into an empty send buffer: the peer has answered everything sent
    // before it. Anything short of a whole send therefore means the connection is broken.
    bool sendRequest(Connection& connection) { return sendText(connection, connection.request); }

    bool sendText(Connection& connection, const std::string& text) {
        connection.startedAt = Clock::now();
        const ssize_t n = ::send(connection.fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(text.size())) {
            return false;
        }
        connection.state = State::AwaitReply;
        return true;
    }

    int waitTimeoutMs(Clock::time_point now, Clock::time_point deadline, int capMs) const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        return static_cast<int>(std::clamp<int64_t>(left, 0, capMs));
    }

    void fail(Connection& connection) {
        ++m_counters.errors;
        closeConnection(connection, State::Dead);
    }

    // Turns the connections into sessions one at a time: connect, read "CONNECTED", send the first
    // request, read its reply, then (rtt) validate the connection's user "USER=<name>" as a client
    // does, so that the measured requests ask about a user the session itself holds. The server takes a
    // connection for a session only from its first message on, and gives a new connection the slot of one
    // that has not spoken yet, dropping that one; so the next connection is opened only once the previous one
    // is a session. A refusal ("MAX_USERS_RAISED", typically the previous run's sessions not yet released), a
    // failed connect or a step slower than --timeout is retried until --setup-timeout.
    bool establish() {
        const auto deadline = Clock::now() + toDuration(m_options.setupSeconds);
        for (size_t i = 0; i < m_connections.size(); ++i) {
            while (!becomeSession(m_connections[i], deadline)) {
                closeConnection(m_connections[i], State::Idle);
                ++m_counters.retries;
                if (Clock::now() + kRetryDelay >= deadline) {
                    std::fprintf(stderr, "osk_loadgen: only %zu of %zu sessions set up in %.1f s\n", i,
                                 m_connections.size(), m_options.setupSeconds);
                    return false;
                }
                std::this_thread::sleep_for(kRetryDelay);
            }
        }
        return true;
    }

    // A server that still holds a previous run's sessions refuses new connections
    // ("MAX_USERS_RAISED") until it finds those gone, which may take it seconds; the accept rate is
    // measured once it greets one with "CONNECTED". Waiting is counted as retries.
    bool awaitAdmission() {
        const auto deadline = Clock::now() + toDuration(m_options.setupSeconds);
        Connection& probe = m_connections.front();
        while (!greeted(probe, deadline)) {
            closeConnection(probe, State::Idle);
            ++m_counters.retries;
            if (Clock::now() + kRetryDelay >= deadline) {
                std::fprintf(stderr, "osk_loadgen: no connection admitted in %.1f s\n",
                             m_options.setupSeconds);
                return false;
            }
            std::this_thread::sleep_for(kRetryDelay);
        }
        closeConnection(probe, State::Idle);
        return true;
    }

    // True once the connection is greeted "CONNECTED"; false when it is refused, closed, or not
    // greeted within --timeout.
    bool greeted(Connection& connection, Clock::time_point deadline) {
        if (!startConnect(connection, Clock::now())) {
            return false;
        }
        const auto stepDeadline =
            std::min(deadline, connection.startedAt + toDuration(m_options.timeoutSeconds));
        epoll_event events[kMaxEvents];
        for (auto now = Clock::now(); now < stepDeadline; now = Clock::now()) {
            if (::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, stepDeadline, 100)) <= 0) {
                continue;
            }
            const bool alive = receive(connection);
            if (connection.inbox.take(kConnected)) {
                return true;
            }
            if (connection.inbox.take(kMaxUsersRaised)) {
                ++m_counters.refused;
                return false;
            }
            if (!alive) {
                return false;
            }
        }
        return false;
    }

    bool becomeSession(Connection& connection, Clock::time_point deadline) {
        if (!startConnect(connection, Clock::now())) {
            return false;
        }
        const auto stepTimeout = toDuration(m_options.timeoutSeconds);
        epoll_event events[kMaxEvents];
        for (;;) {
            const auto now = Clock::now();
            const auto stepDeadline = std::min(deadline, connection.startedAt + stepTimeout);
            if (now >= stepDeadline) {
                return false;
            }
            const int n = ::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, stepDeadline, 100));
            for (int i = 0; i < n; ++i) {
                Connection& other = m_connections[events[i].data.u64];
                if (other.fd < 0) {
                    continue;
                }
                const bool alive = receive(other);
                if (&other != &connection) {
                    if (!alive) { // a session set up earlier went away
                        fail(other);
                    }
                    continue;
                }
                if (connection.state == State::AwaitGreeting) {
                    if (connection.inbox.take(kMaxUsersRaised)) {
                        ++m_counters.refused;
                        return false;
                    }
                    if (!connection.inbox.take(kConnected)) {
                        if (!alive) {
                            return false;
                        }
                        continue;
                    }
                    if (!sendRequest(connection)) {
                        return false;
                    }
                }
                if (takeReply(connection)) {
                    if (m_options.mode == Mode::Rtt && !connection.validated) {
                        connection.validated = true;
                        if (!sendText(connection, connection.user)) {
                            return false;
                        }
                        continue;
                    }
                    connection.state = State::Done;
                    return true;
                }
                if (!alive) {
                    return false;
                }
            }
        }
    }

    // True when the pending request's reply is complete.
    bool takeReply(Connection& connection) {
        if (connection.inbox.take(kUserOk)) {
            return true;
        }
        if (connection.inbox.take(kUserDuplicate)) {
            ++m_counters.duplicates;
            return true;
        }
        return false;
    }

    // Round trips on every live session until phaseEnd; those that start and end inside the
    // phase are timed when measured.
    void rttPhase(Clock::time_point phaseStart, Clock::time_point phaseEnd, bool measured) {
        for (Connection& connection : m_connections) {
            if (connection.state == State::Done && !sendRequest(connection)) {
                fail(connection);
            }
        }
        epoll_event events[kMaxEvents];
        for (auto now = phaseStart; now < phaseEnd; now = Clock::now()) {
            const int n = ::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, phaseEnd, 100));
            for (int i = 0; i < n; ++i) {
                Connection& connection = m_connections[events[i].data.u64];
                if (connection.fd < 0) {
                    continue;
                }
                if (!receive(connection)) {
                    fail(connection);
                    continue;
                }
                if (connection.state != State::AwaitReply || !takeReply(connection)) {
                    continue;
                }
                const auto end = Clock::now();
                if (measured && connection.startedAt >= phaseStart && end <= phaseEnd) {
                    m_latencies.push_back(nanosSince(connection.startedAt, end));
                }
                connection.state = State::Done;
                if (end < phaseEnd && !sendRequest(connection)) {
                    fail(connection);
                }
            }
            failLateReplies(now);
        }
    }

    // Connects with N attempts in flight until phaseEnd; the connections greeted inside the phase
    // are timed when measured.
    void acceptPhase(Clock::time_point phaseStart, Clock::time_point phaseEnd, bool measured) {
        const auto greetingTimeout = toDuration(m_options.timeoutSeconds);
        epoll_event events[kMaxEvents];
        for (auto now = phaseStart; now < phaseEnd; now = Clock::now()) {
            bool waiting = false;
            for (Connection& connection : m_connections) {
                if (connection.state == State::Idle) {
                    if (connection.retryAt > now) {
                        waiting = true;
                    } else if (!startConnect(connection, now)) {
                        // Typically EADDRNOTAVAIL: every local port is in TIME_WAIT for now.
                        ++m_counters.errors;
                        connection.retryAt = now + kAcceptRetryDelay;
                        waiting = true;
                    }
                } else if (connection.state == State::AwaitGreeting &&
                           now - connection.startedAt > greetingTimeout) {
                    ++m_counters.errors;
                    retryLater(connection, now, kAcceptRetryDelay);
                }
            }
            const int n =
                ::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, phaseEnd, waiting ? 1 : 100));
            for (int i = 0; i < n; ++i) {
                takeGreeting(m_connections[events[i].data.u64], phaseStart, phaseEnd, measured);
            }
        }
    }

    void takeGreeting(Connection& connection, Clock::time_point phaseStart, Clock::time_point phaseEnd,
                      bool measured) {
        if (connection.state != State::AwaitGreeting) {
            return;
        }
        const bool alive = receive(connection);
        const auto end = Clock::now();
        if (connection.inbox.take(kConnected)) {
            if (measured && connection.startedAt >= phaseStart && end <= phaseEnd) {
                m_latencies.push_back(nanosSince(connection.startedAt, end));
            }
            if (m_options.resetOnClose) {
                const linger abortive{1, 0};
                ::setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
            closeConnection(connection, State::Idle);
            connection.retryAt = end;
        } else if (connection.inbox.take(kMaxUsersRaised)) {
            ++m_counters.refused;
            retryLater(connection, end, kAcceptRetryDelay);
        } else if (!alive) {
            ++m_counters.errors;
            retryLater(connection, end, kAcceptRetryDelay);
        }
    }

    // Lets what is in flight at the end of a phase finish, untimed, so that the next phase, maybe
    // the other server's, starts with this server idle.
    void finishPhase() {
        const auto deadline = Clock::now() + toDuration(m_options.timeoutSeconds);
        epoll_event events[kMaxEvents];
        for (auto now = Clock::now(); inFlight() > 0 && now < deadline; now = Clock::now()) {
            const int n = ::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, deadline, 100));
            for (int i = 0; i < n; ++i) {
                Connection& connection = m_connections[events[i].data.u64];
                if (connection.fd < 0) {
                    continue;
                }
                if (m_options.mode == Mode::Accept) {
                    takeGreeting(connection, now, now, false);
                } else if (!receive(connection)) {
                    fail(connection);
                } else if (connection.state == State::AwaitReply && takeReply(connection)) {
                    connection.state = State::Done;
                }
            }
        }
        for (Connection& connection : m_connections) {
            if (connection.state == State::AwaitReply) {
                fail(connection);
            } else if (connection.state == State::AwaitGreeting) {
                ++m_counters.errors;
                retryLater(connection, Clock::now(), kAcceptRetryDelay);
            }
        }
    }

    size_t inFlight() const {
        return static_cast<size_t>(
            std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& c) {
                return c.state == State::AwaitReply || c.state == State::AwaitGreeting;
            }));
    }

    void failLateReplies(Clock::time_point now) {
        if (now < m_nextTimeoutScan) {
            return;
        }
        m_nextTimeoutScan = now + std::chrono::milliseconds(100);
        const auto replyTimeout = toDuration(m_options.timeoutSeconds);
        for (Connection& connection : m_connections) {
            if (connection.state == State::AwaitReply && now - connection.startedAt > replyTimeout) {
                fail(connection);
            }
        }
    }

public:
    int runHold() {
        if (!establish()) {
            return 1;
        }
        size_t sessions = 0;
        for (const Connection& connection : m_connections) {
            sessions += connection.state == State::Done ? 1 : 0;
        }
        std::printf("ready sessions=%zu\n", sessions);
        std::fflush(stdout);
        epoll_event events[kMaxEvents];
        const auto holdEnd = Clock::now() + toDuration(m_options.seconds);
        for (auto now = Clock::now(); now < holdEnd; now = Clock::now()) {
            const int n = ::epoll_wait(m_epoll, events, kMaxEvents, waitTimeoutMs(now, holdEnd, 100));
            for (int i = 0; i < n; ++i) {
                Connection& connection = m_connections[events[i].data.u64];
                if (connection.fd >= 0 && !receive(connection)) {
                    fail(connection);
                    --sessions;
                }
            }
        }
        std::printf(
            "mode=hold connections=%d sessions=%zu seconds=%.3f duplicates=%llu refused=%llu retries=%llu "
            "errors=%llu\n",
            m_options.connections, sessions, m_options.seconds,
            static_cast<unsigned long long>(m_counters.duplicates),
            static_cast<unsigned long long>(m_counters.refused),
            static_cast<unsigned long long>(m_counters.retries),
            static_cast<unsigned long long>(m_counters.errors));
        return m_counters.errors == 0 ? 0 : 1;
    }

private:
    Options m_options;
    int m_port;
    std::vector<Connection> m_connections;
    sockaddr_in m_address{};
    int m_epoll = -1;
    Counters m_counters;
    PhaseMeter m_meter;
    std::vector<uint32_t> m_latencies;
    double m_measuredSeconds = 0;
    Clock::time_point m_nextTimeoutScan;
};

// Runs the load against one server, or against two in alternating phases: first, second, second,
// first, and so on, so that both see the machine at the same mean time.
int measureRates(const Options& options) {
    std::vector<std::unique_ptr<Generator>> generators;
    generators.push_back(std::make_unique<Generator>(options, options.port, options.pid));
    if (options.port2 != 0) {
        generators.push_back(std::make_unique<Generator>(options, options.port2, options.pid2));
    }
    for (auto& generator : generators) {
        if (const int status = generator->open(); status != 0) {
            return status;
        }
        if (!generator->prepare()) {
            return 1;
        }
    }
    // Two servers take turns of --phase seconds; one server has a single turn for the warm-up and
    // one for the measured time.
    const bool alternate = generators.size() > 1;
    const auto runPhases = [&](double secondsEach, bool measured) {
        const double turnsEach =
            alternate ? std::max(1.0, std::round(secondsEach / options.phaseSeconds)) : 1;
        const double length = secondsEach / turnsEach;
        const auto phases = static_cast<size_t>(turnsEach) * generators.size();
        for (size_t k = 0; k < phases; ++k) {
            // 0, 1, 1, 0, 0, 1, 1, 0, ...: both servers' phases lie at the same mean time.
            Generator& generator = *generators[((k + 1) / 2) % generators.size()];
            generator.runPhase(Clock::now() + toDuration(length), measured);
        }
    };
    if (options.warmup > 0) {
        runPhases(options.warmup, false);
    }
    runPhases(options.seconds, true);
    bool clean = true;
    for (auto& generator : generators) {
        generator->printResult();
        clean = clean && generator->clean();
    }
    return clean ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (options.mode == Mode::Hold) {
        Generator generator(options, options.port, options.pid);
        const int status = generator.open();
        return status != 0 ? status : generator.runHold();
    }
    return measureRates(options);
}
