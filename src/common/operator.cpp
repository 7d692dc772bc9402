#include "common/operator.h"

#include <cstdio>

namespace osk {

namespace {
void writeToStderr(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
} // namespace

void ConsoleOperator::showMessage(const QString& text, MessageIcon, const QString&) {
    writeToStderr(text);
}

bool ConsoleOperator::ask(const QString& text, MessageIcon, const QString&) {
    writeToStderr(text);
    return false;
}

QString ConsoleOperator::askText(const QString& prompt, const QString&, const QString&) {
    writeToStderr(prompt);
    return {};
}

QString ConsoleOperator::askSaveFile(const QString&, const QString&, const QString&) {
    return {};
}

} // namespace osk
