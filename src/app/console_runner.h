#pragma once

#include <QString>

namespace osk {

class Operator;

// The desktop console from start to end: one copy per program folder, the splash while the
// databases are reached, the main window until it closes, then the service stopped and the event
// log saved.
class ConsoleRunner final {
public:
    ConsoleRunner(QString programFolder, Operator& op);

    // The exit status: 0 after a normal end, 1 when the program could not start or could not save
    // its log.
    int run();

private:
    QString m_programFolder;
    Operator& m_operator;
};

} // namespace osk
