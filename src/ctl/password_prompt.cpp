#include "ctl/password_prompt.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace osk::ctl {

namespace {

termios g_shown{};

// Ctrl+C while the echo is off must not leave the terminal without it.
void restoreAndDie(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_shown);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::optional<std::string> readLine() {
    std::string line;
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n')
        line.push_back(char(c));
    if (c == EOF && line.empty())
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<std::string> askHidden(const char* prompt) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios hidden = g_shown;
    hidden.c_lflag &= tcflag_t(~ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &hidden);
    std::optional<std::string> line = readLine();
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_shown);
    std::fputc('\n', stderr);
    return line;
}

} // namespace

std::optional<QString> readNewPassword() {
    std::optional<std::string> password;
    if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &g_shown) == 0) {
        for (const int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
            std::signal(signal, restoreAndDie);
        password = askHidden("Contraseña: ");
        const std::optional<std::string> again =
            password ? askHidden("Repita la contraseña: ") : std::nullopt;
        for (const int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
            std::signal(signal, SIG_DFL);
        if (password && again != password) {
            std::fputs("Las contraseñas no coinciden.\n", stderr);
            return std::nullopt;
        }
    } else {
        password = readLine();
    }
    if (!password || password->empty()) {
        std::fputs("Falta la contraseña.\n", stderr);
        return std::nullopt;
    }
    return QString::fromStdString(*password);
}

} // namespace osk::ctl
