#pragma once

#include <QString>

// One information-level record: the module's name, the message and the value, streamed
// with Qt's debug stream. Each module wraps this in a trace(message, value) of its own.
void traceRecord(const QString& module, const QString& message, const QString& value);
