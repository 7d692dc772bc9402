// libFuzzer target: what a control caller sends, cut into lines as the socket delivers it and
// parsed into requests. The input is read as:
//   byte 0   the size of the pieces the bytes arrive in, 1 to 256
//   the rest the bytes the caller sends.

#include "control/control_protocol.h"

#include <QByteArray>
#include <QJsonDocument>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace osk::fuzz {
namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void checkRequest(const QByteArray& line) {
    require(line.size() <= ControlLineReader::kMaxLineBytes, "a line longer than the limit");
    require(!line.contains('\n'), "a line end inside a line");
    const ParsedRequest parsed = parseControlRequest(line);
    require(parsed.request.has_value() != !parsed.error.isEmpty(), "neither a request nor an error");
    const QJsonObject reply =
        parsed.request ? QJsonObject{{QStringLiteral("ok"), true}} : controlError(parsed.error);
    const QByteArray replyLine = controlLine(reply);
    require(replyLine.endsWith('\n') && replyLine.count('\n') == 1, "a reply that is not one line");
    require(QJsonDocument::fromJson(replyLine).object() == reply, "a reply that does not read back");
    if (!parsed.request)
        return;
    require(!parsed.request->command.isEmpty(), "a request without a command");
    require(!parsed.request->arguments.contains(QStringLiteral("cmd")),
            "the command left among the arguments");
    const QString description = describeControlRequest(*parsed.request);
    require(description.size() <= 200, "a log description too long");
    for (QChar c : description)
        require(c.category() != QChar::Other_Control, "a control character in the log description");
}

} // namespace
} // namespace osk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace osk;
    if (size < 1)
        return 0;
    const qsizetype piece = 1 + data[0] % 256;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    ControlLineReader reader;
    QByteArray taken;
    bool overflowed = false;
    for (qsizetype at = 0; at < bytes.size() && !overflowed; at += piece) {
        overflowed = !reader.append(bytes.mid(at, piece));
        for (const QByteArray& line : reader.takeLines()) {
            fuzz::checkRequest(line);
            taken += line + '\n';
        }
    }
    fuzz::require(overflowed == reader.overflowed(), "overflow not remembered");
    if (overflowed) {
        fuzz::require(!reader.append(QByteArray("{}\n")) && reader.takeLines().empty(),
                      "lines taken after an overflow");
        return 0;
    }
    // Every byte is either in a line taken or still waiting for its line end (CR before LF dropped).
    QByteArray expected = bytes.left(bytes.size() - reader.pending());
    expected.replace("\r\n", "\n");
    fuzz::require(taken.size() + reader.pending() <= bytes.size(), "bytes made up");
    fuzz::require(taken == expected, "bytes lost between lines");
    return 0;
}
