#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace osk {

// The page of the web administration: its own files, built into the program so that a browser runs
// what was built with this server and nothing that lies in the program folder, and the chart
// library, from the system's package of it.
class WebPage final {
public:
    struct File {
        QByteArray contentType;
        QByteArray body;
    };
    static constexpr qint64 kMaxChartLibraryBytes = 4 * 1024 * 1024;

    explicit WebPage(QString chartLibraryPath);

    // The file at this URL path ("/" is the page), if it is one of the page's.
    std::optional<File> find(const QString& path) const;

private:
    QString m_chartLibraryPath;
};

} // namespace osk
