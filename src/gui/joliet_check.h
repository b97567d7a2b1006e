#pragma once
// Before a burn, the window names every entry whose name the disc's Joliet
// tree (what Windows reads) will show differently, and asks whether to burn.
// It only warns: Rock Ridge keeps every name exactly, and the burn goes on
// when the user says so.

#include <QWidget>

#include "app/app_controller.h"

namespace tessaline::gui {

// Reads the names off the main thread, then calls controller.attemptBurn()
// when no name changes, else after the user has confirmed a window-modal box
// listing them.
void checkJolietNamesThenBurn(QWidget* window, appController& controller);

}  // namespace tessaline::gui
