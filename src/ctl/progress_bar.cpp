#include "ctl/progress_bar.h"

namespace osk::ctl {

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kBarWidth = 30;

QString duration(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
} // namespace

QString ProgressBar::line(int value, int maximum, qint64 pieceBytes, qint64 elapsedMs, int width) {
    const double fraction = maximum > 0 ? double(value) / maximum : 1.0;
    const int filled = int(fraction * width);
    QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                   QString(width - filled, QLatin1Char('.')) + QLatin1Char(']');
    text += QStringLiteral(" %1 %").arg(int(fraction * 100), 3);
    text += QStringLiteral("  %1/%2 MiB")
                .arg(double(value) * double(pieceBytes) / kMiB, 0, 'f', 1)
                .arg(double(maximum) * double(pieceBytes) / kMiB, 0, 'f', 1);
    if (value > 0 && value < maximum) {
        const qint64 leftMs = qint64(double(elapsedMs) * (maximum - value) / value);
        text += QStringLiteral("  quedan %1").arg(duration((leftMs + 999) / 1000));
    }
    return text;
}

void ProgressBar::setText(const QString& text) {
    if (m_drawn)
        finish();
    m_text = text;
    m_lastTenth = -1;
    m_elapsed.start();
    print(text, false);
}

void ProgressBar::setValue(int value, int maximum, qint64 pieceBytes) {
    if (!m_elapsed.isValid())
        m_elapsed.start();
    if (m_terminal) {
        print(line(value, maximum, pieceBytes, m_elapsed.elapsed(), kBarWidth), true);
        return;
    }
    const int tenth = maximum > 0 ? value * 10 / maximum : 10;
    if (tenth == m_lastTenth)
        return;
    m_lastTenth = tenth;
    print(line(value, maximum, pieceBytes, m_elapsed.elapsed(), 10), false);
}

void ProgressBar::finish() {
    if (m_terminal && m_drawn)
        std::fputc('\n', m_stream);
    m_drawn = false;
}

void ProgressBar::print(const QString& text, bool inPlace) {
    const QByteArray bytes = text.toLocal8Bit();
    if (inPlace) {
        std::fputs("\r\033[K", m_stream);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
        m_drawn = true;
    } else {
        if (m_drawn)
            finish();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
        std::fputc('\n', m_stream);
    }
    std::fflush(m_stream);
}

} // namespace osk::ctl
