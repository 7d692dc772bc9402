#include "app/spanish_command_line.h"

#include <cstring>

namespace osk {

namespace {

struct Text {
    const char* source;
    const char* spanish;
};

constexpr Text kTexts[] = {
    {"Displays help on commandline options.", "Muestra la ayuda de las opciones."},
    {"Displays help including Qt specific options.", "Muestra la ayuda, con las opciones propias de Qt."},
    {"Displays version information.", "Muestra la versión."},
    {"Usage: %1", "Uso: %1"},
    {"[options]", "[opciones]"},
    {"Options:", "Opciones:"},
    {"Arguments:", "Argumentos:"},
    {"Unknown option '%1'.", "Opción desconocida: '%1'."},
    {"Unknown options: %1.", "Opciones desconocidas: %1."},
    {"Missing value after '%1'.", "Falta el valor tras '%1'."},
    {"Unexpected value after '%1'.", "'%1' no lleva valor."},
};

} // namespace

QString SpanishCommandLine::translate(const char* context, const char* sourceText, const char*, int) const {
    if (!context || !sourceText || std::strcmp(context, "QCommandLineParser") != 0)
        return {};
    for (const Text& text : kTexts) {
        if (std::strcmp(sourceText, text.source) == 0)
            return QString::fromUtf8(text.spanish);
    }
    return {};
}

} // namespace osk
