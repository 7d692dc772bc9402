#include "web/web_page.h"

#include "web/bounded_file.h"

#include <QFile>
#include <QRegularExpression>

namespace osk {

namespace {
const QString kChartPath = QStringLiteral("/chart.js");

QByteArray contentTypeOf(const QString& path) {
    if (path.endsWith(QLatin1String(".html")))
        return QByteArrayLiteral("text/html; charset=utf-8");
    if (path.endsWith(QLatin1String(".js")))
        return QByteArrayLiteral("text/javascript; charset=utf-8");
    if (path.endsWith(QLatin1String(".css")))
        return QByteArrayLiteral("text/css; charset=utf-8");
    return QByteArrayLiteral("image/png");
}
} // namespace

WebPage::WebPage(QString chartLibraryPath)
    : m_chartLibraryPath(std::move(chartLibraryPath)) {}

std::optional<WebPage::File> WebPage::find(const QString& path) const {
    if (path == kChartPath) {
        const Result<QByteArray> library = readRegularFile(m_chartLibraryPath, kMaxChartLibraryBytes);
        if (!library)
            return std::nullopt;
        return File{contentTypeOf(kChartPath), *library};
    }
    // Plain names only: nothing of the URL reaches the resource lookup but a name it holds.
    static const QRegularExpression name(QStringLiteral("^/(icons/)?[a-z0-9-]+\\.(html|js|css|png)$"));
    const QString file = path == QLatin1String("/") ? QStringLiteral("/index.html") : path;
    if (!name.match(file).hasMatch())
        return std::nullopt;
    QFile resource(QStringLiteral(":/web") + file);
    if (!resource.open(QIODevice::ReadOnly))
        return std::nullopt;
    return File{contentTypeOf(file), resource.readAll()};
}

} // namespace osk
