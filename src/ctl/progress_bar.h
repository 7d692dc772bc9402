#pragma once

#include <QElapsedTimer>
#include <QString>
#include <cstdio>

namespace osk::ctl {

// How a distribution goes, for the person who started it: on a terminal one line redrawn in place
// (bar, percent, MiB, time left); elsewhere a plain line per file and per tenth of it, so that a
// log of the run stays readable.
class ProgressBar final {
public:
    ProgressBar(std::FILE* stream, bool terminal)
        : m_stream(stream)
        , m_terminal(terminal) {}

    void setText(const QString& text);
    // value pieces of maximum, each of pieceBytes.
    void setValue(int value, int maximum, qint64 pieceBytes);
    void finish();

    // "[#####.....]  50 %  1.0/2.0 MiB  0:03" as drawn on a terminal of this width.
    static QString line(int value, int maximum, qint64 pieceBytes, qint64 elapsedMs, int width);

private:
    void print(const QString& text, bool inPlace);

    std::FILE* m_stream;
    bool m_terminal;
    QString m_text;
    QElapsedTimer m_elapsed;
    int m_lastTenth = -1;
    bool m_drawn = false;
};

} // namespace osk::ctl
