#pragma once
// The disc's own story in the window: its sessions, and whether it is a
// true copy of its sources. Both are window-modal and leave the window
// working underneath.

class QWidget;

namespace tessaline {
class appController;
}

namespace tessaline::gui {

// Lists the sessions of the disc in the selected writer: where each starts,
// how long it is, when it was written, its volume name, and what it added,
// replaced or no longer shows.
void showDiscSessions(QWidget* parent, appController& controller);

// Compares the disc with the sources in the burn list, contents and all, on
// a worker thread with a progress bar and Stop; then lists what differs.
void showVerification(QWidget* parent, appController& controller);

}  // namespace tessaline::gui
