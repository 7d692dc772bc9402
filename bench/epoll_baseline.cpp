// The least a server can do and still satisfy osk_loadgen: "CONNECTED" on accept, "USER_OK" to
// every read that begins with "USER" (the user's validation and the availability questions),
// nothing else. One thread, level-triggered epoll,
// one read and at most one write per event. It is the physical limit of this machine, so that
// oskserverd's numbers can be reported as a fraction of what the kernel and loopback allow.
//
// It stops on SIGTERM or SIGINT, and by itself after --lifetime seconds so that a forgotten
// instance does not outlive the benchmark.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::string_view kConnected = "CONNECTED";
constexpr std::string_view kUser = "USER";
constexpr std::string_view kUserOk = "USER_OK";
constexpr int kMaxEvents = 256;
// Accepts per wake-up, so that a flood of connections cannot starve the established ones.
constexpr int kMaxAcceptsPerWake = 64;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    double lifetimeSeconds = 3600;
};

void usage(std::FILE* out) {
    std::fprintf(out, "usage: osk_epoll_baseline --port P [--host 127.0.0.1] [--lifetime SECONDS]\n"
                      "Minimal epoll server: sends CONNECTED on accept and USER_OK to each read that\n"
                      "begins with USER. Stops on SIGTERM/SIGINT or after --lifetime (3600).\n");
}

bool parseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "osk_epoll_baseline: missing value for %s\n", argv[i]);
            return false;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--host") {
            options.host = value;
        } else if (arg == "--port") {
            const long port = std::strtol(value, &end, 10);
            if (*end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "osk_epoll_baseline: bad port %s\n", value);
                return false;
            }
            options.port = static_cast<int>(port);
        } else if (arg == "--lifetime") {
            options.lifetimeSeconds = std::strtod(value, &end);
            if (*end != '\0' || options.lifetimeSeconds <= 0) {
                std::fprintf(stderr, "osk_epoll_baseline: bad lifetime %s\n", value);
                return false;
            }
        } else {
            std::fprintf(stderr, "osk_epoll_baseline: unknown option %s\n", argv[i - 1]);
            return false;
        }
    }
    if (options.port == 0) {
        std::fprintf(stderr, "osk_epoll_baseline: --port is required\n");
        return false;
    }
    return true;
}

// A reply that does not fit the socket buffer is dropped: with clients that wait for each reply
// before the next request the buffer never holds more than one.
void sendText(int fd, std::string_view text) {
    (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

int openListener(const Options& options) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "osk_epoll_baseline: bad IPv4 address %s\n", options.host.c_str());
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("osk_epoll_baseline: socket");
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        std::perror("osk_epoll_baseline: bind/listen");
        ::close(fd);
        return -1;
    }
    return fd;
}

void acceptPending(int listener, int epollFd) {
    for (int i = 0; i < kMaxAcceptsPerWake; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return; // EAGAIN, or a transient error such as EMFILE: try again on the next wake-up
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            continue;
        }
        sendText(fd, kConnected);
    }
}

void serveReadable(int fd) {
    static char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
        if (static_cast<size_t>(n) >= kUser.size() && std::memcmp(buffer, kUser.data(), kUser.size()) == 0) {
            sendText(fd, kUserOk);
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    ::close(fd); // closing the last descriptor also removes it from the epoll set
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        usage(stderr);
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr); // no SA_RESTART: epoll_wait returns with EINTR
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = openListener(options);
    if (listener < 0) {
        return 1;
    }
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.fd = listener;
    if (epollFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &listenEvent) != 0) {
        std::perror("osk_epoll_baseline: epoll");
        return 1;
    }
    std::printf("osk_epoll_baseline listening on %s:%d\n", options.host.c_str(), options.port);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.lifetimeSeconds));
    epoll_event events[kMaxEvents];
    while (g_stop == 0 && Clock::now() < deadline) {
        const int n = ::epoll_wait(epollFd, events, kMaxEvents, 500);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listener) {
                acceptPending(listener, epollFd);
            } else {
                serveReadable(events[i].data.fd);
            }
        }
    }
    ::close(epollFd);
    ::close(listener);
    return 0;
}
