#pragma once

#include <QTranslator>

namespace osk {

// The command-line parser's own texts (--help's headings and options, its errors) in Spanish, so
// that a program answers --help like everything else the operator reads, whether or not Qt's
// translations are installed. Installed on the application before the parser is set up.
class SpanishCommandLine final : public QTranslator {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpanishCommandLine)

public:
    using QTranslator::QTranslator;

    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override;
};

} // namespace osk
