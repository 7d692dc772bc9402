#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The client wire protocol: bare 8-bit texts with no framing, compared byte for byte. Pure
// functions only; the session server applies what they say.
namespace osk::protocol {

inline constexpr QByteArrayView kConnected = "CONNECTED";
inline constexpr QByteArrayView kMaxUsersRaised = "MAX_USERS_RAISED";
inline constexpr QByteArrayView kUserOk = "USER_OK";
inline constexpr QByteArrayView kUserDuplicate = "USER_DUPLICATE";
inline constexpr QByteArrayView kNotePrefix = "NOTE:";
inline constexpr QByteArrayView kClose = "CLOSE";
inline constexpr QByteArrayView kClosed = "CLOSED";
inline constexpr QByteArrayView kCheck = "CHECK";
inline constexpr QByteArrayView kLog = "LOG";
inline constexpr QByteArrayView kNoLog = "NOLOG";

// What a message is by its prefix; the first prefix that matches decides.
enum class MessageType { UserAvailable, User, Log, Note, Other };
MessageType classify(QByteArrayView message);

// Everything after the first occurrence of separator; the whole text when it does not occur.
QByteArrayView afterFirst(QByteArrayView text, char separator);

// "USER=user~extra~ignored": the user and, when the user text holds a "~", the extra field.
struct UserFields {
    QByteArray user;
    QByteArray extra;
    bool hasExtra = false;
};
UserFields userFields(QByteArrayView message);

// "LOG" + one separator of the client's choice + the activity line.
QByteArray logLine(QByteArrayView message);

// "NOTE:" + note + "-" + addressee. Without "-" the note is empty and the addressee is the rest.
struct NoteFields {
    QByteArray note;
    QByteArray addressee;
};
NoteFields noteFields(QByteArrayView message);

// A connection's Tag: empty, the session text, or the session text + "|" + the user. Without a
// "|" both parts are the whole Tag.
bool hasUser(QByteArrayView tag);
QByteArray sessionPart(QByteArrayView tag);
QByteArray userPart(QByteArrayView tag);
QByteArray joinTag(QByteArrayView session, QByteArrayView user);

} // namespace osk::protocol
