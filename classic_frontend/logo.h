// The form's 135 x 38 picture: the program's own mark, drawn at start-up.
#pragma once

#include <QPixmap>

constexpr int kLogoWidth = 135;
constexpr int kLogoHeight = 38;

QPixmap draw_logo();
