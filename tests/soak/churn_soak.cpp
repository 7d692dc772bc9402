// Churn soak: the built oskserverd in a temporary program folder and 240 clients, each connection
// from an address of its own in 127/8, that connect, start a session, validate, send activity
// lines and a note and leave again, by "CLOSE", by a FIN without a word or by a reset, for the
// given time. Then, one sweep and a margin later: every validation has its removal line, no
// descriptor is left beyond those of the start, 255 fresh clients all get a slot, no error was
// logged, and SIGTERM ends the server with 0. (Leaks show in the sanitizer run of this same soak.)
//
//   churn_soak SERVER [SECONDS]

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxUsers = 255;
constexpr int kWorkers = 240;
// Between two messages that get no reply, so that each reaches the server in an arrival of its own
// (on a busy machine the server may read less often than this).
constexpr auto kPause = 200ms;

std::mutex g_mutex;
std::string g_serverOutput; // guarded by g_mutex
std::atomic<long> g_validated{0}, g_closed{0}, g_displaced{0}, g_problems{0};

long countInOutput(const std::string& needle) {
    std::lock_guard lock(g_mutex);
    long count = 0;
    for (size_t at = g_serverOutput.find(needle); at != std::string::npos;
         at = g_serverOutput.find(needle, at + 1))
        ++count;
    return count;
}

class Client final {
public:
    ~Client() { leave(false); }

    bool connect(int port, long id) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(uint32_t((127u << 24) | (1 + id / 254 % 65536) << 8 | (1 + id % 254)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(uint16_t(port));
        return m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
               ::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    bool send(const std::string& message) {
        return ::send(m_fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
    }
    // The first of the tokens to arrive (consumed with all before it); -1 when the server closes or
    // 15 s pass. The sweep's "CHECK" and relayed notes are dropped wherever they stand.
    int waitFor(const std::vector<std::string>& tokens) {
        for (const auto deadline = Clock::now() + 15s; Clock::now() < deadline;) {
            for (const std::string noise : {"CHECK", "NOTE:hola"})
                for (size_t at; (at = m_inbox.find(noise)) != std::string::npos;)
                    m_inbox.erase(at, noise.size());
            for (size_t i = 0; i < tokens.size(); ++i) {
                if (const size_t at = m_inbox.find(tokens[i]); at != std::string::npos) {
                    m_inbox.erase(0, at + tokens[i].size());
                    return int(i);
                }
            }
            pollfd p{m_fd, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 1;
            if (::poll(&p, 1, 1000) > 0 && (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
                m_inbox.append(buffer, size_t(n));
            if (n <= 0)
                return -1;
        }
        return -1;
    }
    void leave(bool reset) {
        const linger abortive{1, 0};
        if (reset && m_fd >= 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    std::string m_inbox;
};

// One client's life. False when the worker should wait before the next (refused or failed).
bool live(int port, long id) {
    Client client;
    if (!client.connect(port, id) || client.waitFor({"CONNECTED", "MAX_USERS_RAISED"}) != 0)
        return false;
    const std::string user = "u" + std::to_string(id);
    client.send("PC" + std::to_string(id));
    std::this_thread::sleep_for(kPause);
    // A newer connection may take the slot before the session text arrives: the server closes.
    if (!client.send("USER=" + user) || client.waitFor({"USER_OK"}) != 0) {
        ++g_displaced;
        return true;
    }
    ++g_validated;
    for (long i = id % 5; i >= 0; --i) {
        client.send(i == 0 ? "NOTE:hola-nadie" : "LOG:Abre pedido " + std::to_string(i));
        std::this_thread::sleep_for(kPause);
    }
    // Answered only once everything sent before it was read.
    if (!client.send("USER_AVAILABLE=" + user) || client.waitFor({"USER_OK"}) != 0)
        ++g_problems;
    if (id % 3 == 0) {
        if (!client.send("CLOSE") || client.waitFor({"CLOSED"}) != 0)
            ++g_problems;
        ++g_closed;
    }
    client.leave(id % 3 == 2);
    return true;
}

int descriptorCount(pid_t pid) {
    int count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(dir);
    }
    return count;
}

// A port free now, which the clients' own ports will not take once the server listens on it.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (argc < 2 || seconds < 20) {
        std::fprintf(stderr, "usage: churn_soak SERVER [SECONDS>=20]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    char folder[] = "/tmp/osk-soak-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    const int port = freePort();
    std::ofstream(std::string(folder) + "/OskServer.INI")
        << "[Main]\r\nPort=" << port << "\r\nMaxUsers=" << kMaxUsers << "\r\n";

    int out[2];
    if (::pipe(out) != 0)
        return 1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execl(argv[1], argv[1], "--home", folder, nullptr);
        std::_Exit(127);
    }
    ::close(out[1]);
    std::thread reader([fd = out[0]] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            std::lock_guard lock(g_mutex);
            g_serverOutput.append(buffer, size_t(n));
        }
    });
    bool ok = true;
    const auto check = [&ok](bool held, const std::string& what) {
        std::printf("%s %s\n", held ? "ok  " : "FAIL", what.c_str());
        ok = ok && held;
    };
    for (int tenths = 0; tenths < 200 && countInOutput("Esperando conexiones...") == 0; ++tenths)
        std::this_thread::sleep_for(100ms);
    check(countInOutput("Esperando conexiones...") == 1,
          "the server listens on port " + std::to_string(port));
    const int descriptorsBefore = descriptorCount(server);

    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::atomic<long> nextId{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10 * w)); // as after a restart
            while (Clock::now() < end) {
                if (!live(port, nextId++))
                    std::this_thread::sleep_for(1s);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::this_thread::sleep_for(10s); // a sweep and a margin

    const long validatedLines = countInOutput("Validado usuario [");
    const long closedLines = countInOutput("Sesion cerrada para [");
    const long removedLines = countInOutput("Usuario no encontrado. Eliminando...");
    check(validatedLines == g_validated && closedLines == g_closed &&
              validatedLines == closedLines + removedLines,
          std::to_string(validatedLines) + " validated = " + std::to_string(closedLines) + " closed + " +
              std::to_string(removedLines) + " removed by the sweep (" + std::to_string(g_displaced) +
              " displaced before their session)");
    check(descriptorCount(server) == descriptorsBefore,
          "descriptors as at the start: " + std::to_string(descriptorsBefore));

    std::vector<Client> fresh(kMaxUsers);
    long sessions = 0;
    for (Client& client : fresh) {
        const long id = nextId++;
        const bool greeted =
            client.connect(port, id) && client.waitFor({"CONNECTED", "MAX_USERS_RAISED"}) == 0;
        client.send("PC" + std::to_string(id));
        std::this_thread::sleep_for(kPause);
        sessions += greeted && client.send("USER=f" + std::to_string(id)) && client.waitFor({"USER_OK"}) == 0;
    }
    check(sessions == kMaxUsers, std::to_string(sessions) + " of 255 fresh clients validated");
    check(countInOutput("WSock_") == 0, "no WSock_ error logged");
    check(g_problems == 0, std::to_string(g_problems) + " questions or CLOSEs unanswered");

    ::kill(server, SIGTERM);
    int status = 0;
    ::waitpid(server, &status, 0);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the server exits 0 on SIGTERM");
    reader.join();
    std::system((std::string("rm -rf ") + folder).c_str());
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
