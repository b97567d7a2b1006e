#pragma once
// How a window looks, apart from its texts and the font's metrics: its
// layouts' margins, spacing and stretch, each control's size limits, font,
// frame and list settings, and its menus. The recorded looks are the files
// in looks/; after a change to the window that was meant, run the tests with
// TESSALINE_UPDATE_LOOKS=1 and read the difference before committing it.

#include <QWidget>

#include <gtest/gtest.h>

#include <string>

namespace tessaline::test {

std::string describeLook(const QWidget& window);

// Fails unless the window looks as recorded in looks/NAME.txt.
void expectLook(const QWidget& window, const std::string& name);

}  // namespace tessaline::test
