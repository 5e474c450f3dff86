#include "common/settings.h"

#include "common/groupfilemode.h"

#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <mutex>

namespace {

Q_LOGGING_CATEGORY(logSettings, "ostra.settings", QtInfoMsg)

std::mutex overrideMutex;
QString overriddenPath;

// The shared file holds a few short lines; anything this large is not one, and reading it
// whole would take what it claims.
constexpr qint64 kMaxConfigBytes = 1024 * 1024;

#ifdef Q_OS_WIN
const char* const kEndOfLine = "\r\n";
#else
const char* const kEndOfLine = "\n";
#endif

// The file is read by Qt's INI text rules, the ones the TWAIN data source reads it by, but
// every value stays text: Qt's own reader builds whatever type a "@Variant(...)" value's
// bytes name, allocating what they claim, and it unescapes and joins lines before it looks,
// so no rewriting of the text ahead of it can stop that. This reader has no typed values.

// Qt's character classes for splitting lines.
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

// The next logical line from pos: a backslash takes the next character with it (so a
// backslash before a line break continues the line), quotes hold line breaks and ";", and an
// unquoted ";" starts a comment. False at the end of data.
bool nextLine(const QByteArray& data, int& pos, int& start, int& length, int& equals)
{
    const int size = data.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < size && isSpace(data.at(start)))
        ++start;
    int i = start;
    while (i < size) {
        while (!isSpecial(data.at(i))) {
            if (++i == size)
                goto done;
        }
        const char c = data.at(i++);
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char next = data.at(i++);
                if (i < size) {
                    const char after = data.at(i);
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (i == start + 1) { // ';' opening the line: a comment line
            while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                ++i;
            while (i < size && isSpace(data.at(i)))
                ++i;
            start = i;
        } else if (!inQuotes) {
            --i;
            goto done;
        }
    }
done:
    pos = i;
    length = i - start;
    return length > 0;
}

// A key or section name: "\" stands for "/", "%XX" and "%UXXXX" for one character in hex;
// other bytes are Latin-1.
void appendUnescapedKey(const QByteArray& key, int from, int to, QString& result)
{
    int i = from;
    while (i < to) {
        const uchar c = uchar(key.at(i));
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i == to - 1) {
            result += QLatin1Char(char(c));
            ++i;
            continue;
        }
        const bool wide = key.at(i + 1) == 'U';
        const int first = i + (wide ? 2 : 1);
        const int digits = wide ? 4 : 2;
        bool ok = first + digits <= to;
        const ushort code = ok ? key.mid(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
}

void chopTrailingBlanks(QString& text, int limit)
{
    int n = text.size() - 1;
    while (n >= limit && (text.at(n) == QLatin1Char(' ') || text.at(n) == QLatin1Char('\t')))
        text.truncate(n--);
}

int digitValue(char c, int base)
{
    const int value = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : 99;
    return value < base ? value : -1;
}

// A value's text: C escapes (octal and hex ones give one UTF-16 unit each, of any length; an
// unknown one is dropped), quotes that keep blanks, commas and ";", and outer blanks dropped
// unless quoted or escaped. An unquoted comma makes it a list: the items are in list, and
// the result is true.
bool unescapeValue(const QByteArray& data, int from, int to, bool utf8, QString& text,
                   QStringList& list)
{
    static const char simpleEscapes[] = "a\ab\bf\fn\nr\rt\tv\v\"\"?\?''\\\\";
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    bool chop = true; // a value that ends inside an escape keeps its blanks, as Qt reads it
    int i = from;
    const auto skipBlanks = [&] {
        while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
            ++i;
    };
    skipBlanks();
    int chopLimit = 0;
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            if (++i >= to) {
                chop = false;
                break;
            }
            const char e = data.at(i++);
            const char* simple = simpleEscapes;
            while (*simple && *simple != e)
                simple += 2;
            if (*simple) {
                text += QLatin1Char(simple[1]);
            } else if (e == 'x' && i >= to) {
                chop = false;
                break;
            } else if ((e == 'x' && digitValue(data.at(i), 16) >= 0) || digitValue(e, 8) >= 0) {
                const int base = e == 'x' ? 16 : 8;
                ushort code = base == 8 ? ushort(e - '0') : 0;
                for (int digit; i < to && (digit = digitValue(data.at(i), base)) >= 0; ++i)
                    code = ushort(code * base + digit);
                text += QChar(code);
                if (i >= to) {
                    chop = false;
                    break;
                }
            } else if ((e == '\n' || e == '\r') && i < to) {
                const char after = data.at(i);
                if ((after == '\n' || after == '\r') && after != e)
                    ++i;
            }
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
                chopLimit = text.size();
            }
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            isList = true;
            list << text;
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = 0;
        } else {
            int j = i + 1;
            while (j < to && data.at(j) != '\\' && data.at(j) != '"' && data.at(j) != ',')
                ++j;
            text += utf8 ? QString::fromUtf8(data.constData() + i, j - i)
                         : QString::fromLatin1(data.constData() + i, j - i);
            i = j;
        }
    }
    if (chop && !quoted)
        chopTrailingBlanks(text, chopLimit);
    if (isList)
        list << text;
    return isList;
}

// Qt's writer marks a text holding a NUL as "@String(...)", a byte array as "@ByteArray(...)",
// and doubles a leading "@"; those are read back as the text they carry. Every other "@" form
// names a typed value and is kept as the text it is.
QString textOf(const QString& stored)
{
    if (!stored.startsWith(QLatin1Char('@')))
        return stored;
    if (stored.startsWith(QLatin1String("@@")))
        return stored.mid(1);
    if (!stored.endsWith(QLatin1Char(')')))
        return stored;
    if (stored.startsWith(QLatin1String("@String(")))
        return stored.mid(8, stored.size() - 9);
    if (stored.startsWith(QLatin1String("@ByteArray(")))
        return QString::fromUtf8(stored.mid(11, stored.size() - 12).toLatin1());
    return stored;
}

// As Qt's writer stores a text.
QString storedFormOf(const QString& text)
{
    if (text.contains(QChar::Null))
        return QLatin1String("@String(") + text + QLatin1Char(')');
    if (text.startsWith(QLatin1Char('@')))
        return QLatin1Char('@') + text;
    return text;
}

// The whole file as its keys ("section/key") and values: text, or a list of texts where Qt
// reads a list. Lines are split once for the sections; a section's lines, all its
// occurrences together, are then read in order, so a later key wins, as with Qt.
QSettings::SettingsMap parseIni(const QByteArray& data)
{
    const bool utf8 = data.startsWith("\xef\xbb\xbf");
    QMap<QString, QByteArray> sections;
    QString current;
    int currentStart = 0;
    int pos = utf8 ? 3 : 0;
    int start = 0, length = 0, equals = 0;
    const auto flush = [&](int end) {
        QByteArray& lines = sections[current];
        if (!lines.isEmpty())
            lines.append('\n');
        lines += data.mid(currentStart, end - currentStart);
    };
    while (nextLine(data, pos, start, length, equals)) {
        if (data.at(start) != '[')
            continue;
        flush(start);
        // Searched for within the line: a search to the end of the data for every line would
        // take minutes over a megabyte of lines that open a section and never close one.
        const QByteArray line = QByteArray::fromRawData(data.constData() + start, length);
        const int close = line.indexOf(']');
        const QByteArray name = line.mid(1, (close == -1 ? length : close) - 1).trimmed();
        current.clear();
        currentStart = pos;
        if (qstricmp(name.constData(), "general") == 0)
            continue;
        if (qstricmp(name.constData(), "%general") == 0)
            current = QLatin1String(name.constData() + 1);
        else
            appendUnescapedKey(name, 0, name.size(), current);
        current += QLatin1Char('/');
    }
    flush(data.size());

    QSettings::SettingsMap values;
    for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
        const QByteArray& lines = section.value();
        int at = 0;
        while (nextLine(lines, at, start, length, equals)) {
            if (equals == -1)
                continue; // a comment, or a line Qt drops too
            int keyEnd = equals;
            while (keyEnd > start && (lines.at(keyEnd - 1) == ' ' || lines.at(keyEnd - 1) == '\t'))
                --keyEnd;
            QString key = section.key();
            appendUnescapedKey(lines, start, keyEnd, key);
            QString text;
            QStringList list;
            if (unescapeValue(lines, equals + 1, start + length, utf8, text, list)) {
                for (QString& item : list)
                    item = textOf(item);
                values.insert(key, list);
            } else {
                values.insert(key, textOf(text));
            }
        }
    }
    return values;
}

void appendEscapedKey(const QString& key, QByteArray& out)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    for (const QChar qc : key) {
        const ushort c = qc.unicode();
        if (c == '/') {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            out += char(c);
        } else if (c <= 0xff) {
            out += '%';
            out += hexDigits[c / 16];
            out += hexDigits[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hexDigits[(c >> shift) & 0xf];
        }
    }
}

// As Qt's writer writes a text with no codec set: C escapes, everything outside printable
// ASCII in hex, quotes where blanks at either end or ";", "," or "=" would be lost.
void appendEscapedText(const QString& text, QByteArray& out)
{
    const int startPos = out.size();
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (const QChar qc : text) {
        const ushort c = qc.unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && c < 0x80 && isxdigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case '\0':
            out += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1f || c >= 0x7f) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextIfDigit = true;
            } else {
                out += char(c);
            }
        }
    }
    if (needsQuotes ||
        (startPos < out.size() && (out.at(startPos) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(startPos, '"');
        out += '"';
    }
}

// The map as Qt's INI writer writes it: the part of a key before its first "/" is the
// section, sections and keys in order, "[General]" for keys without one.
bool writeIni(QIODevice& device, const QSettings::SettingsMap& values)
{
    QMap<QString, QSettings::SettingsMap> sections;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        sections[slash == -1 ? QString() : it.key().left(slash)].insert(it.key().mid(slash + 1),
                                                                        it.value());
    }
    QByteArray out;
    for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
        QByteArray name;
        appendEscapedKey(section.key(), name);
        if (section != sections.cbegin())
            out += kEndOfLine;
        out += name.isEmpty()                               ? QByteArray("[General]")
               : qstricmp(name.constData(), "general") == 0 ? QByteArray("[%General]")
                                                            : '[' + name + ']';
        out += kEndOfLine;
        for (auto it = section.value().cbegin(); it != section.value().cend(); ++it) {
            appendEscapedKey(it.key(), out);
            out += '=';
            if (it.value().type() == QVariant::StringList) {
                const QStringList items = it.value().toStringList();
                for (int i = 0; i < items.size(); ++i) {
                    if (i)
                        out += ", ";
                    appendEscapedText(storedFormOf(items.at(i)), out);
                }
                if (items.isEmpty())
                    out += "@Invalid()";
            } else {
                appendEscapedText(storedFormOf(it.value().toString()), out);
            }
            out += kEndOfLine;
        }
    }
    return device.write(out) == out.size();
}

// The whole file into data, read with its bound whatever size it showed a moment before (it
// may have grown since, or be a pipe or a device put in its place); false when it holds more
// than one file may.
bool readBounded(QIODevice& device, QByteArray& data)
{
    data = device.read(kMaxConfigBytes + 1);
    return data.size() <= kMaxConfigBytes;
}

bool readIni(QIODevice& device, QSettings::SettingsMap& values)
{
    QByteArray data;
    if (!readBounded(device, data))
        return false;
    values = parseIni(data);
    return true;
}

// Writes go through QSettings for its lock file and its atomic replacement of the file.
QSettings::Format textFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("ini"), readIni, writeIni, Qt::CaseSensitive);
    return format;
}

bool tooLarge(const QFile& file)
{
    if (file.size() <= kMaxConfigBytes)
        return false;
    qCWarning(logSettings, "Configuration file %s holds %lld bytes, too many for one",
              qUtf8Printable(file.fileName()), file.size());
    return true;
}

// A pipe in the file's place would hold the program at its opening, a device feed it without
// end: only a regular file, or a link to one, is read or rewritten.
bool notAFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return false;
    qCWarning(logSettings, "Configuration %s is not a regular file and is not used",
              qUtf8Printable(path));
    return true;
}

// A read never writes: another program may be writing the shared file at this moment, and
// the access point program's own file is not ours to change.
QString valueAsText(const QString& path, const QString& key)
{
    QFile file(path);
    QByteArray data;
    if (notAFile(path) || !file.open(QIODevice::ReadOnly) || tooLarge(file) ||
        !readBounded(file, data))
        return QString();
    const QSettings::SettingsMap values = parseIni(data);
    const QVariant value = values.value(key.split(QLatin1Char('/'), Qt::SkipEmptyParts).join('/'));
    // An unquoted comma makes Qt read a list, which every reader of the file by Qt's rules
    // (the TWAIN data source among them) takes as no text; reading it joined would save a
    // picture where the data source never looks.
    if (value.type() == QVariant::StringList) {
        qCWarning(logSettings,
                  "Setting %s in %s holds an unquoted comma and reads as no value; "
                  "quote it",
                  qUtf8Printable(key), qUtf8Printable(path));
        return QString();
    }
    return value.toString();
}

} // namespace

QString configFolderPath()
{
    return QString::fromUtf8(platform::configFolder());
}

QString configFilePath()
{
    {
        std::lock_guard<std::mutex> lock(overrideMutex);
        if (!overriddenPath.isEmpty())
            return overriddenPath;
    }
    return configFolderPath() + QStringLiteral("/scanConfig.ini");
}

void overrideConfigFilePath(const QString& path)
{
    std::lock_guard<std::mutex> lock(overrideMutex);
    overriddenPath = path;
}

QString readSetting(const QString& key)
{
    return valueAsText(configFilePath(), key);
}

QString readSettingAt(const QString& path, const QString& key)
{
    return valueAsText(path, key);
}

bool writeSetting(const QString& key, const QString& value)
{
    const QString path = configFilePath();
    // Rewriting a file that cannot be read whole would drop the keys it holds.
    if (notAFile(path) || tooLarge(QFile(path)))
        return false;
    QSettings settings(path, textFormat());
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(logSettings, "Could not write %s to %s", qUtf8Printable(key),
                  qUtf8Printable(path));
        return false;
    }
    // The rename-save made the file this user's, with the old file's mode or the umask's.
    QFile written(settings.fileName());
    if (!setGroupFileMode(written))
        qCWarning(logSettings, "%s could not be given to the group alone (mode 0660)",
                  qUtf8Printable(path));
    return true;
}
