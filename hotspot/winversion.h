#pragma once

#include <QSysInfo>

// The Windows version the access point is controlled by. QSysInfo's version enumeration is
// deprecated, so its values are taken over once here and the rest of the program compares
// plain numbers.
namespace winversion {

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
constexpr int WV_None = QSysInfo::WV_None;
constexpr int WV_XP = QSysInfo::WV_XP;
constexpr int WV_2003 = QSysInfo::WV_2003;
constexpr int WV_VISTA = QSysInfo::WV_VISTA;
constexpr int WV_WINDOWS7 = QSysInfo::WV_WINDOWS7;
constexpr int WV_WINDOWS8 = QSysInfo::WV_WINDOWS8;
constexpr int WV_WINDOWS8_1 = QSysInfo::WV_WINDOWS8_1;
constexpr int WV_WINDOWS10 = QSysInfo::WV_WINDOWS10;
QT_WARNING_POP

// QSysInfo's answer for this system (WV_None outside Windows), or the version a test set.
int current();

// Makes current() answer version from every thread, for tests; a negative version restores
// the system's answer.
void overrideCurrent(int version);

} // namespace winversion
