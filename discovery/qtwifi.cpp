#include "discovery/qtwifi.h"

QTWIFI::QTWIFI(QObject* parent) : QObject(parent) {}
