#pragma once
// The core's message-box and tone hooks, shown with Qt.

// Message box: no owner window, so the main window stays usable while it is
// open; exclamation (warning) icon, OK button, the caption as given. Tone:
// the system bell. Both run on the GUI thread; a call from another thread
// is handed over and returns at once (a box then answers OK).
void kvr_install_qt_hooks();
