// Start with the desktop session: the XDG autostart entry kestro.desktop.
#pragma once

#include <QString>

// $XDG_CONFIG_HOME/autostart/kestro.desktop
QString AutostartFile();
// Writes the entry with Exec= command. False when it cannot be written.
bool WriteAutostartEntry(const QString& command);
// Removes the entry; true when it is gone afterwards.
bool RemoveAutostartEntry();
// The Exec= text of the entry; empty when there is none.
QString ReadAutostartEntry();
