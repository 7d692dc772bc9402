#include "session/protocol.h"

#include <cstring>

namespace osk::protocol {

namespace {
// The first `separator` in `text`, or -1. QByteArrayView::indexOf(char) searches for a one-byte
// needle the general way, and these searches run on every message.
qsizetype indexOfByte(QByteArrayView text, char separator) {
    if (text.isEmpty())
        return -1;
    const void* found = std::memchr(text.data(), separator, size_t(text.size()));
    return found ? static_cast<const char*>(found) - text.data() : -1;
}
} // namespace

MessageType classify(QByteArrayView message) {
    if (message.startsWith("USER_AVAILABLE"))
        return MessageType::UserAvailable;
    if (message.startsWith("USER"))
        return MessageType::User;
    if (message.startsWith("LOG"))
        return MessageType::Log;
    if (message.startsWith("NOTE"))
        return MessageType::Note;
    return MessageType::Other;
}

QByteArrayView afterFirst(QByteArrayView text, char separator) {
    const qsizetype at = indexOfByte(text, separator);
    return at < 0 ? text : text.sliced(at + 1);
}

UserFields userFields(QByteArrayView message) {
    const QByteArrayView userText = afterFirst(message, '=');
    const qsizetype firstTilde = userText.indexOf('~');
    if (firstTilde < 0)
        return {userText.toByteArray(), {}, false};
    const QByteArrayView rest = userText.sliced(firstTilde + 1);
    const qsizetype secondTilde = rest.indexOf('~');
    return {userText.first(firstTilde).toByteArray(),
            (secondTilde < 0 ? rest : rest.first(secondTilde)).toByteArray(), true};
}

QByteArray logLine(QByteArrayView message) {
    return message.size() > 4 ? message.sliced(4).toByteArray() : QByteArray();
}

NoteFields noteFields(QByteArrayView message) {
    const QByteArrayView rest = afterFirst(message, ':');
    const qsizetype dash = rest.indexOf('-');
    if (dash < 0)
        return {{}, rest.toByteArray()};
    return {rest.first(dash).toByteArray(), rest.sliced(dash + 1).toByteArray()};
}

bool hasUser(QByteArrayView tag) {
    return indexOfByte(tag, '|') >= 0;
}

QByteArray sessionPart(QByteArrayView tag) {
    const qsizetype bar = indexOfByte(tag, '|');
    return (bar < 0 ? tag : tag.first(bar)).toByteArray();
}

QByteArray userPart(QByteArrayView tag) {
    return afterFirst(tag, '|').toByteArray();
}

QByteArray joinTag(QByteArrayView session, QByteArrayView user) {
    QByteArray tag;
    tag.reserve(session.size() + 1 + user.size());
    tag.append(session).append('|').append(user);
    return tag;
}

} // namespace osk::protocol
