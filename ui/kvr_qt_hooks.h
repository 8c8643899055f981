#pragma once
// The core's message-box and tone hooks, shown with Qt.

class QWidget;

// Message box: exclamation (warning) icon, OK button, the caption as given,
// owned by the report owner (the main window), so it opens in front of it
// and takes input even while that window runs modally. The box does not
// block: the call returns 1 (OK) at once and the box closes with OK, Escape
// or its title-bar button, or together with its owner. A report with the
// caption of a box still open (the same source) shows its text in that box
// and raises it instead of stacking a second one. Tone: the system bell. Both run on the GUI thread; a
// call from another thread is handed over and returns at once.
void kvr_install_qt_hooks();

// The window that owns report boxes; null: none (boxes without owner). Boxes
// still open when the owner is destroyed go with it.
void kvr_set_report_owner(QWidget* owner);
