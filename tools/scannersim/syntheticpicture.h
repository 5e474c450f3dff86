#pragma once

#include <QByteArray>
#include <QString>

// An encoded test picture of width x height: a smooth gradient with rings and a
// seed-dependent bar, so that consecutive pictures differ and decode to known pixels.
// depth is 8 or 16 bits per channel; format is an extension such as ".png", ".jpg" or
// ".bmp". Returns empty bytes when the format cannot encode that depth.
QByteArray syntheticPicture(int width, int height, int depth, const QString& format, int seed = 0);
