#include "common/operator.h"

#include <QList>
#include <cstdio>

namespace osk {

QByteArray journalPrefix(MessageIcon icon) {
    return icon == MessageIcon::Critical ? QByteArrayLiteral("<3>") : QByteArrayLiteral("<4>");
}

QByteArray journalLines(const QByteArray& text, const QByteArray& prefix) {
    QByteArray marked;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray trimmed = line.endsWith('\r') ? line.chopped(1) : line;
        if (!trimmed.isEmpty())
            marked += prefix + trimmed + '\n';
    }
    return marked.chopped(marked.isEmpty() ? 0 : 1);
}

void ConsoleOperator::write(const QString& text, MessageIcon icon) const {
    const QByteArray bytes = text.toLocal8Bit();
    const QByteArray line = m_journalPriorities ? journalLines(bytes, journalPrefix(icon)) : bytes;
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void ConsoleOperator::showMessage(const QString& text, MessageIcon icon, const QString&) {
    write(text, icon);
}

bool ConsoleOperator::ask(const QString& text, MessageIcon icon, const QString&) {
    write(text, icon);
    return false;
}

QString ConsoleOperator::askText(const QString& prompt, const QString&, const QString&) {
    write(prompt, MessageIcon::Question);
    return {};
}

QString ConsoleOperator::askSaveFile(const QString&, const QString&, const QString&) {
    return {};
}

} // namespace osk
