// The Linux client's settings files: the system-wide one in the first
// directory of $XDG_CONFIG_DIRS (default /etc/xdg) that holds one, then the
// user's in $XDG_CONFIG_HOME (default ~/.config), both
// "velmora-client.conf" in INI form with the keys at the top or in
// [General]. Read once at start.
#pragma once

#include "app/settings.h"

#include <QString>

namespace velmora::qt {

void ReadSettingsFile(const QString& path, velmora::Settings* settings);
void ReadSettingsFiles(velmora::Settings* settings);

} // namespace velmora::qt
