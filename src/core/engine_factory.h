#pragma once

#include "config/main_settings.h"
#include "database/engine.h"

#include <memory>

namespace osk {

// The engine the settings choose: the embedded engine keeps its databases in the folder Data of
// the program folder.
std::unique_ptr<Engine> makeEngine(EngineKind kind, const QString& programFolder,
                                   const QString& sqlServerName);

} // namespace osk
