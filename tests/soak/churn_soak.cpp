// Churn soak: the built oskserverd in a temporary program folder, and up to 255 clients that
// connect, start a session, validate, send notes and activity lines and leave again, for a given
// time. Each departure is one of: "CLOSE" (then FIN), FIN without a word, RST (SO_LINGER 0), or
// silence: the client stops reading and writing and keeps its socket open until the end of the run
// (on loopback the kernel still acknowledges, so the server keeps probing it and keeps the session;
// these are counted apart, sent notes, and closed at the end).
//
//   churn_soak --server PATH [--seconds S] [--reference-after S]
//
// Afterwards, one sweep plus a margin later, it checks that the users list is empty (every
// validation has its removal line), that no descriptor is left open beyond those of the start,
// that 255 fresh clients all get a slot, that resident memory sampled every 10 s is flat, and that
// the server reported no error. Prints the figures and exits 0 only when every check held.
//
// The wire has no framing: a message that is not answered is followed by a pause before the next
// one, and every wait strips the server's "CHECK" and relayed notes from what came. Each
// connection binds a source address of its own in 127/8, so that users-list rows, which the server
// finds by remote address, never belong to two live sessions.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxUsers = 255;
// Silent clients keep their sessions until the end, so the workers are fewer by as many: the
// occupied slots then stay within the maximum except for departed clients the sweep has not yet
// noticed.
constexpr int kSilentCap = 16;
constexpr int kWorkers = kMaxUsers - kSilentCap;
constexpr auto kReplyTimeout = 15s;
// Between two messages that get no reply, so that each reaches the server in an arrival of its own.
constexpr auto kPause = 100ms;
constexpr auto kSweep = 5s;
constexpr auto kSweepMargin = 5s;
constexpr auto kSampleEvery = 10s;
// The event log keeps every line in memory for the whole run (it is what a save writes), so memory
// grows with the lines logged. Allowed per line: its text, the string's header and the list's
// share of a doubling vector, with room for the allocator.
constexpr long kBytesPerLogLine = 320;

const std::string kCheck = "CHECK";
const std::string kNoteText = "NOTE:saludo";

std::atomic<bool> g_stop{false};

struct Options {
    std::string server;
    int seconds = 60;
    int referenceAfter = -1;
};

struct Counters {
    std::atomic<long> connections{0};
    std::atomic<long> refused{0};
    std::atomic<long> displaced{0}; // closed by the server before the session had started
    std::atomic<long> validated{0};
    std::atomic<long> unanswered{0};
    std::atomic<long> byClose{0};
    std::atomic<long> byFin{0};
    std::atomic<long> byReset{0};
    std::atomic<long> silent{0};
    std::atomic<long> notes{0};
    std::atomic<long> logLines{0};
    std::atomic<long> connectFailures{0};
};

Counters g_counters;
std::mutex g_mutex;
std::vector<int> g_silentFds;           // guarded by g_mutex
std::vector<std::string> g_silentUsers; // guarded by g_mutex
std::vector<long> g_displacedIds;       // guarded by g_mutex
std::vector<long> g_unansweredIds;      // guarded by g_mutex
std::vector<std::string> g_failures;    // guarded by g_mutex

void fail(const std::string& text) {
    std::lock_guard lock(g_mutex);
    if (g_failures.size() < 50)
        g_failures.push_back(text);
}

// The server's stdout, read by a thread of its own and kept whole.
class ServerOutput final {
public:
    void append(const char* data, size_t size) {
        std::lock_guard lock(m_mutex);
        m_text.append(data, size);
    }
    std::string text() const {
        std::lock_guard lock(m_mutex);
        return m_text;
    }
    bool waitFor(const std::string& needle, Clock::duration timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (text().find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_text;
};

long countOf(const std::string& text, const std::string& needle) {
    long count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

// 127.a.b.c with c never 0 or 255: one address per connection for the first 16 million.
sockaddr_in sourceAddress(long n) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const long c = 1 + n % 254;
    const long b = (n / 254) % 256;
    const long a = 1 + (n / (254 * 256)) % 254;
    address.sin_addr.s_addr =
        htonl(uint32_t((127u << 24) | (uint32_t(a) << 16) | (uint32_t(b) << 8) | uint32_t(c)));
    return address;
}

// One client connection with blocking I/O bounded by poll.
class Client final {
public:
    Client() = default;
    ~Client() { closeFin(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connectTo(int port, long id) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Lets another program listen on a port that one of these clients happens to use.
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        timeval timeout{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const sockaddr_in source = sourceAddress(id);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
            return false;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(uint16_t(port));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    }

    bool send(const std::string& message) {
        return ::send(m_fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
    }

    enum class Wait { Found, Other, Closed, TimedOut };

    // Until one of the tokens arrives (consumed with everything before it), the peer closes, or
    // the time runs out. "CHECK" and relayed notes are dropped wherever they stand.
    Wait waitFor(const std::vector<std::string>& tokens, std::string* which = nullptr) {
        const auto deadline = Clock::now() + kReplyTimeout;
        for (;;) {
            strip();
            for (const std::string& token : tokens) {
                if (const size_t at = m_inbox.find(token); at != std::string::npos) {
                    m_inbox.erase(0, at + token.size());
                    if (which)
                        *which = token;
                    return Wait::Found;
                }
            }
            if (m_inbox.size() > 4096)
                return Wait::Other;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return Wait::TimedOut;
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(std::min<long>(left.count(), 1000)));
            if (ready < 0 && errno != EINTR)
                return Wait::Closed;
            if (ready <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return Wait::Closed;
            m_inbox.append(buffer, size_t(n));
        }
    }

    void closeFin() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void closeReset() {
        if (m_fd < 0)
            return;
        linger off{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        closeFin();
    }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    void strip() {
        for (const std::string* token : {&kCheck, &kNoteText}) {
            for (size_t at = m_inbox.find(*token); at != std::string::npos; at = m_inbox.find(*token, at))
                m_inbox.erase(at, token->size());
        }
    }

    int m_fd = -1;
    std::string m_inbox;
};

// One client's life, from connect to departure. False when the worker should wait a little before
// the next one (refused or failed).
bool live(int port, long id, std::mt19937& random) {
    Client client;
    g_counters.connections++;
    if (!client.connectTo(port, id)) {
        g_counters.connectFailures++;
        return false;
    }
    std::string greeting;
    const Client::Wait greeted = client.waitFor({"CONNECTED", "MAX_USERS_RAISED"}, &greeting);
    if (greeted != Client::Wait::Found) {
        fail("connection " + std::to_string(id) + ": no greeting (" +
             (greeted == Client::Wait::Closed ? "closed" : "timed out") + ")");
        return false;
    }
    if (greeting == "MAX_USERS_RAISED") {
        g_counters.refused++;
        return false;
    }
    // Appended, not "u" + to_string(): GCC 12 at -O3 warns falsely (-Wrestrict) about the insert
    // that the operator inlines.
    const std::string user = std::string("u").append(std::to_string(id));
    if (!client.send("PC" + std::to_string(id)))
        return false;
    std::this_thread::sleep_for(kPause);
    const auto unanswered = [id](Client::Wait wait, const char* what) {
        if (wait == Client::Wait::TimedOut) {
            g_counters.unanswered++;
            std::lock_guard lock(g_mutex);
            g_unansweredIds.push_back(id);
        } else {
            fail("connection " + std::to_string(id) + ": no reply to " + what);
        }
    };

    // Until the reply to the validation, a close by the server means a newer connection took the
    // slot before the session text arrived; checked against the server's log at the end.
    const bool sentUser = client.send("USER=" + user);
    const Client::Wait validated = sentUser ? client.waitFor({"USER_OK"}) : Client::Wait::Closed;
    if (validated == Client::Wait::Closed) {
        g_counters.displaced++;
        std::lock_guard lock(g_mutex);
        g_displacedIds.push_back(id);
        return true;
    }
    if (validated != Client::Wait::Found) {
        unanswered(validated, "USER");
        return true;
    }
    g_counters.validated++;

    const int rounds = int(random() % 5) + 1;
    for (int i = 0; i < rounds; ++i) {
        std::string message;
        if (random() % 10 == 0) {
            std::string addressee = "nadie";
            {
                std::lock_guard lock(g_mutex);
                if (!g_silentUsers.empty())
                    addressee = g_silentUsers[random() % g_silentUsers.size()];
            }
            message = kNoteText + "-" + addressee;
            g_counters.notes++;
        } else {
            message = "LOG:Abre pedido " + std::to_string(i) + " de " + user;
            g_counters.logLines++;
        }
        if (!client.send(message)) {
            fail("connection " + std::to_string(id) + ": send failed");
            return true;
        }
        std::this_thread::sleep_for(kPause);
    }
    // A question on the connection's own user is answered "USER_OK": the server has read
    // everything sent before it.
    if (!client.send("USER_AVAILABLE=" + user)) {
        fail("connection " + std::to_string(id) + ": send failed");
        return true;
    }
    if (const Client::Wait answered = client.waitFor({"USER_OK"}); answered != Client::Wait::Found) {
        unanswered(answered, "USER_AVAILABLE");
        return true;
    }

    switch (id % 10) {
    case 0:
    case 1:
    case 2:
    case 3:
        if (!client.send("CLOSE") || client.waitFor({"CLOSED"}) != Client::Wait::Found)
            fail("connection " + std::to_string(id) + ": no reply to CLOSE");
        g_counters.byClose++;
        client.closeFin();
        break;
    case 4:
    case 5:
    case 6:
        g_counters.byFin++;
        client.closeFin();
        break;
    case 9: {
        std::lock_guard lock(g_mutex);
        if (int(g_silentFds.size()) < kSilentCap) {
            g_silentFds.push_back(client.release());
            g_silentUsers.push_back(user);
            g_counters.silent++;
            break;
        }
    }
        [[fallthrough]];
    default:
        g_counters.byReset++;
        client.closeReset();
        break;
    }
    return true;
}

// A free port below the ephemeral range, so that neither the clients' own ports nor another test's
// picks can take it between this check and the server's listen.
int freePort() {
    std::mt19937 random(uint32_t(::getpid()) ^ uint32_t(Clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int candidate = 20000 + int(random() % 12000);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(candidate));
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (bound)
            return candidate;
    }
    return 0;
}

int descriptorCount(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

void removeTree(const std::string& path) {
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "/" + name;
            struct stat info {};
            if (::lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                removeTree(child);
            else
                ::unlink(child.c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

// A sanitizer's runtime keeps freed memory in quarantine, so resident memory says nothing there.
bool sanitized(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libasan") != std::string::npos || line.find("libtsan") != std::string::npos)
            return true;
    }
    return false;
}

bool parseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view arg = argv[i];
        if (arg == "--server")
            options.server = argv[i + 1];
        else if (arg == "--seconds")
            options.seconds = std::atoi(argv[i + 1]);
        else if (arg == "--reference-after")
            options.referenceAfter = std::atoi(argv[i + 1]);
        else
            return false;
    }
    if (argc % 2 == 0 || options.server.empty() || options.seconds < 20 || options.seconds > 7200)
        return false;
    if (options.referenceAfter < 0)
        options.referenceAfter = options.seconds >= 120 ? 60 : 15;
    return options.referenceAfter < options.seconds;
}

struct Sample {
    int second;
    long rssKiB;
    long logLines;
};

// Every line the server logs ends in a line break on its stdout.
long linesIn(const ServerOutput& output) {
    return countOf(output.text(), "\n");
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        std::fprintf(stderr, "usage: churn_soak --server PATH [--seconds S>=20] [--reference-after S]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    char folderTemplate[] = "/tmp/osk-soak-XXXXXX";
    const char* madeFolder = ::mkdtemp(folderTemplate);
    if (!madeFolder) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = madeFolder;
    const int port = freePort();
    {
        std::ofstream ini(folder + "/OskServer.INI", std::ios::binary);
        ini << "[Main]\r\nPort=" << port << "\r\nMaxUsers=" << kMaxUsers << "\r\n";
    }

    int outPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return 1;
    }
    const pid_t server = ::fork();
    if (server == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::execl(options.server.c_str(), options.server.c_str(), "--home", folder.c_str(), nullptr);
        std::_Exit(127);
    }
    ::close(outPipe[1]);
    ServerOutput output;
    std::thread reader([&output, fd = outPipe[0]] {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                output.append(buffer, size_t(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        ::close(fd);
    });

    int status = 1;
    bool serverEnded = false;
    const auto finish = [&](int code) {
        if (!serverEnded) {
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
        }
        reader.join();
        removeTree(folder);
        return code;
    };
    if (!output.waitFor("Esperando conexiones...", 20s)) {
        std::fprintf(stderr, "churn_soak: the server did not start listening\n%s\n", output.text().c_str());
        return finish(1);
    }
    const int descriptorsBefore = descriptorCount(server);
    const long rssStart = residentKiB(server);
    std::printf("server pid %d port %d: %d descriptors, %ld KiB resident at the start\n", int(server), port,
                descriptorsBefore, rssStart);
    std::fflush(stdout);

    std::vector<Sample> samples;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    std::atomic<long> nextId{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(uint32_t(w) * 7919u + 17u);
            // Clients come in over the first seconds, as after a server restart, not all at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(10 * w));
            while (Clock::now() < end) {
                if (!live(port, nextId++, random))
                    std::this_thread::sleep_for(1s);
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
            }
        });
    }
    for (int second = 0; Clock::now() < end; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (second % int(std::chrono::duration_cast<std::chrono::seconds>(kSampleEvery).count()) == 0) {
            samples.push_back({second, residentKiB(server), linesIn(output)});
            std::printf("t=%4ds rss=%ld KiB log lines=%ld connections=%ld\n", second, samples.back().rssKiB,
                        samples.back().logLines, g_counters.connections.load());
            std::fflush(stdout);
        }
    }
    for (std::thread& worker : workers)
        worker.join();
    samples.push_back({options.seconds, residentKiB(server), linesIn(output)});

    // The silent clients are closed now; the sweep finds them like any departed client.
    {
        std::lock_guard lock(g_mutex);
        for (int fd : g_silentFds)
            ::close(fd);
        g_silentFds.clear();
    }
    std::this_thread::sleep_for(kSweep + kSweepMargin);
    const int descriptorsAfter = descriptorCount(server);
    const long rssAfter = residentKiB(server);
    const std::string log = output.text();

    bool ok = true;
    const auto check = [&ok](bool held, const std::string& what) {
        std::printf("%s %s\n", held ? "ok  " : "FAIL", what.c_str());
        ok = ok && held;
    };

    // The users list: one removal line for every validation.
    const long validatedLines = countOf(log, "Validado usuario [");
    const long closedLines = countOf(log, "Sesion cerrada para [");
    const long removedLines = countOf(log, "Usuario no encontrado. Eliminando...");
    check(validatedLines == closedLines + removedLines,
          "users list empty: " + std::to_string(validatedLines) + " validated, " +
              std::to_string(closedLines) + " closed, " + std::to_string(removedLines) +
              " removed by the sweep");
    check(validatedLines == g_counters.validated.load(),
          "every USER_OK a logged validation (" + std::to_string(g_counters.validated.load()) + " replies)");
    check(closedLines == g_counters.byClose.load(),
          "every CLOSE logged (" + std::to_string(g_counters.byClose.load()) + ")");
    check(descriptorsAfter == descriptorsBefore, "descriptors: " + std::to_string(descriptorsBefore) +
                                                     " at the start, " + std::to_string(descriptorsAfter) +
                                                     " after");

    // A displaced connection must never have had its session started: the server only gives
    // away slots whose Tag is empty.
    {
        std::lock_guard lock(g_mutex);
        long started = 0;
        for (long id : g_displacedIds)
            started += log.find("Inicio de sesi") != std::string::npos &&
                               log.find("[PC" + std::to_string(id) + "] completado.") != std::string::npos
                           ? 1
                           : 0;
        check(started == 0,
              "displaced before their session started: " + std::to_string(g_displacedIds.size()) + " (" +
                  std::to_string(started) + " after it)");
        // An unanswered validation is one whose two messages reached the server in one arrival:
        // the session started with both as its text. Nothing else may go unanswered.
        long glued = 0;
        for (long id : g_unansweredIds)
            glued += log.find("[PC" + std::to_string(id) + "USER=u" + std::to_string(id) + "]") !=
                             std::string::npos
                         ? 1
                         : 0;
        check(glued == long(g_unansweredIds.size()), "unanswered: " + std::to_string(g_unansweredIds.size()) +
                                                         " (" + std::to_string(glued) +
                                                         " of them two messages in one arrival)");
        check(g_counters.connectFailures.load() == 0,
              "connects failed: " + std::to_string(g_counters.connectFailures.load()));
        for (const std::string& failure : g_failures)
            std::printf("     client: %s\n", failure.c_str());
        check(g_failures.empty(), "clients met no unexpected reply or close");
    }
    check(countOf(log, "WSock_DataArrival") == 0, "no WSock_DataArrival error");
    check(countOf(log, "WSock_ConnectionRequest") == 0, "no WSock_ConnectionRequest error");

    // Memory: flat from the reference sample on, apart from the event log's lines.
    const Sample* reference = nullptr;
    for (const Sample& sample : samples) {
        if (sample.second >= options.referenceAfter && !reference)
            reference = &sample;
    }
    if (sanitized(server)) {
        std::printf("skip resident memory: the server runs under a sanitizer, whose quarantine holds "
                    "freed memory\n");
    } else if (reference) {
        const Sample& last = samples.back();
        const long logGrowthKiB = (last.logLines - reference->logLines) * kBytesPerLogLine / 1024;
        const long allowed = reference->rssKiB / 10 + logGrowthKiB;
        check(last.rssKiB - reference->rssKiB <= allowed,
              "resident memory: " + std::to_string(reference->rssKiB) + " KiB at " +
                  std::to_string(reference->second) + " s, " + std::to_string(last.rssKiB) +
                  " KiB at the end (" + std::to_string(last.logLines - reference->logLines) +
                  " log lines since; allowed " + std::to_string(allowed) + " KiB)");
    }

    // Every slot free: 255 fresh clients all get one.
    {
        std::vector<std::unique_ptr<Client>> fresh;
        long refused = 0;
        long failed = 0;
        for (int i = 0; i < kMaxUsers; ++i) {
            const long id = nextId++;
            auto client = std::make_unique<Client>();
            std::string greeting;
            if (!client->connectTo(port, id) ||
                client->waitFor({"CONNECTED", "MAX_USERS_RAISED"}, &greeting) != Client::Wait::Found) {
                ++failed;
                continue;
            }
            if (greeting == "MAX_USERS_RAISED") {
                ++refused;
                continue;
            }
            // The validation's reply shows the session text was read before the next connection.
            if (!client->send("PC" + std::to_string(id))) {
                ++failed;
                continue;
            }
            std::this_thread::sleep_for(20ms);
            if (!client->send("USER=f" + std::to_string(i)) ||
                client->waitFor({"USER_OK"}) != Client::Wait::Found) {
                ++failed;
                continue;
            }
            fresh.push_back(std::move(client));
        }
        check(refused == 0 && failed == 0 && fresh.size() == size_t(kMaxUsers),
              "255 fresh clients: " + std::to_string(fresh.size()) + " sessions, " + std::to_string(refused) +
                  " refused, " + std::to_string(failed) + " failed");
        for (auto& client : fresh) {
            if (!client->send("CLOSE") || client->waitFor({"CLOSED"}) != Client::Wait::Found)
                ++failed;
        }
        check(failed == 0, "255 fresh clients closed their sessions");
    }
    std::this_thread::sleep_for(2s);
    const int descriptorsEnd = descriptorCount(server);
    check(descriptorsEnd == descriptorsBefore,
          "descriptors after the fresh clients left: " + std::to_string(descriptorsEnd));

    ::kill(server, SIGTERM);
    int waitStatus = 0;
    const auto deadline = Clock::now() + 30s;
    pid_t waited = 0;
    while ((waited = ::waitpid(server, &waitStatus, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    serverEnded = waited == server;
    check(serverEnded && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0, "server exited 0 on SIGTERM");

    std::printf(
        "\nfigures: %d s, %ld connections, %ld validated, %ld refused, %ld displaced, %ld unanswered; "
        "left by CLOSE %ld, FIN %ld, RST %ld, silent %ld; %ld activity lines, %ld notes\n",
        options.seconds, g_counters.connections.load(), g_counters.validated.load(),
        g_counters.refused.load(), g_counters.displaced.load(), g_counters.unanswered.load(),
        g_counters.byClose.load(), g_counters.byFin.load(), g_counters.byReset.load(),
        g_counters.silent.load(), g_counters.logLines.load(), g_counters.notes.load());
    std::printf("descriptors: %d at the start, %d after the churn, %d at the end\n", descriptorsBefore,
                descriptorsAfter, descriptorsEnd);
    std::printf("resident memory (KiB) / server log lines by time:\n");
    for (const Sample& sample : samples)
        std::printf("  %5d s  %8ld  %9ld\n", sample.second, sample.rssKiB, sample.logLines);
    std::printf("  after the sweep: %ld KiB\n", rssAfter);
    status = ok ? 0 : 1;
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return finish(status);
}
