#include "shell/shell_icons.h"

#include <QString>
#include <initializer_list>

// Outside any namespace: the resource initialiser is declared at global scope.
static void initShellIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace osk::icons {

namespace {

constexpr std::initializer_list<int> kSmallSizes = {16, 32};
constexpr std::initializer_list<int> kProgramSizes = {16, 32, 48, 128, 256};

// ":/icons/<name>-<size>.png" for each size, as the renderer script writes them.
QIcon fromSizes(const char* name, std::initializer_list<int> sizes) {
    initResources();
    QIcon icon;
    for (int size : sizes)
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(name)).arg(size),
                     QSize(size, size));
    return icon;
}

} // namespace

void initResources() {
    static const bool registered = [] {
        initShellIconResources();
        return true;
    }();
    (void)registered;
}

QIcon logKind(int kind) {
    switch (kind) {
    case 1:
        return fromSizes("log-done", kSmallSizes);
    case 2:
        return fromSizes("log-info", kSmallSizes);
    case 3:
        return fromSizes("log-error", kSmallSizes);
    default:
        return {};
    }
}

QIcon trayStart() {
    return fromSizes("tray-start", kSmallSizes);
}

QIcon trayStop() {
    return fromSizes("tray-stop", kSmallSizes);
}

QIcon toolbarDelete() {
    return fromSizes("user-disconnect", kSmallSizes);
}

QIcon toolbarProperties() {
    return fromSizes("user-follow", kSmallSizes);
}

QIcon program() {
    return fromSizes("oskserver", kProgramSizes);
}

} // namespace osk::icons
