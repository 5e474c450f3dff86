#include "common/trace.h"

#include <QVariant>
#include <QtDebug>

void traceRecord(const QString& module, const QString& message, const QString& value)
{
    qInfo() << module << message << QVariant(value) << '\n';
}
