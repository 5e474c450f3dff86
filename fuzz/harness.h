#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// A finding: says what broke and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "finding: %s %s\n", what, qPrintable(detail));
    std::abort();
}
