#include "common/web_user_name.h"

namespace osk {

QString webUserNameProblem(const QString& name) {
    static const QString allowed = QStringLiteral("._-");
    bool plain = !name.isEmpty() && name.size() <= 64;
    for (const QChar c : name)
        plain = plain && c.unicode() < 0x80 && (c.isLetterOrNumber() || allowed.contains(c));
    if (plain)
        return {};
    return QStringLiteral("El nombre de usuario debe tener de 1 a 64 letras sin acentos, cifras, "
                          "puntos, guiones o guiones bajos.");
}

} // namespace osk
