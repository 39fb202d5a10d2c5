// What a program started by a service manager, or on a machine without a screen, learns from
// its environment: where to report its state, whether stderr goes to the journal, whether a
// display is there to open windows on.
#pragma once

#include <string>

namespace varnley {

// Sends one state datagram ("READY=1", "STOPPING=1") to the socket named by NOTIFY_SOCKET: a
// path, or an abstract name written with a leading '@'. True without NOTIFY_SOCKET (nobody to
// tell); false, with the reason, when the message could not be sent.
bool NotifyServiceManager(const std::string& state, std::string* reason = nullptr);

// True when stderr is the journal's own stream: JOURNAL_STREAM names the device and inode of
// the descriptor stderr is now (a redirected stderr is not, whatever the variable says).
bool StderrIsJournal();

// True when the window toolkit has somewhere to draw: DISPLAY or WAYLAND_DISPLAY is set, or
// QT_QPA_PLATFORM names a platform outright.
bool DisplayAvailable();

}  // namespace varnley
