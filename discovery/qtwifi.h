#pragma once

#include <QObject>

class QTWIFI final : public QObject
{
    Q_OBJECT

public:
    explicit QTWIFI(QObject* parent = nullptr);
};
