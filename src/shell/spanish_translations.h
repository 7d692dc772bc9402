#pragma once

class QCoreApplication;

namespace osk {

// Puts Qt's own texts (dialog buttons, the file dialog, context menus) into Spanish, like the rest
// of the console. Returns false, and leaves them as they are, where the system has no Spanish
// translations of Qt.
bool installSpanishTranslations(QCoreApplication& app);

} // namespace osk
