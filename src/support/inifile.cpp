#include "support/inifile.h"

#include "support/trace.h"

#include <QFile>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QtGlobal>

#include <utility>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

namespace Veltrano::IniFile {

namespace {

const QByteArray kByteOrderMark("\xEF\xBB\xBF");

bool isUtf8(const QByteArray &bytes)
{
    // Invalid sequences decode to replacement characters, which encode to
    // other bytes.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Non-ASCII characters of a section name or key as Qt escapes them there.
QString escapedKey(const QString &key)
{
    QString result;
    result.reserve(key.size());
    for (const QChar c : key) {
        if (c.unicode() < 0x80)
            result += c;
        else if (c.unicode() <= 0xFF)
            result += QStringLiteral("%%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else
            result += QStringLiteral("%U%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
    }
    return result;
}

// Text an editor could have written: no NUL and no control characters but
// tabs and line ends. Anything else (UTF-16, binary garbage) is not ours to
// convert and is left to QSettings as it is.
bool isText(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
    }
    return true;
}

bool hasNonAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return true;
    }
    return false;
}

// Whether a value goes on into the next line: an unescaped backslash at its
// end, or a quote left open.
bool continues(QString value)
{
    if (value.endsWith(QLatin1Char('\r')))
        value.chop(1);
    bool quoted = false;
    bool escaped = false;
    for (const QChar c : std::as_const(value)) {
        if (escaped)
            escaped = false;
        else if (c == QLatin1Char('\\'))
            escaped = true;
        else if (c == QLatin1Char('"'))
            quoted = !quoted;
    }
    return quoted || escaped;
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Qt 5's own UTF-8 codec is handed one UTF-16 unit at a time when QSettings
// writes, so a character beyond the first 65536 (two units) is lost. This
// one writes the pair whole, as Qt 6 does, and a unit without its partner as
// U+FFFD, as Qt 6 does too (except that Qt 6 drops a first half that ends a
// value; no editor gives such text). QSettings hands over units of a QString,
// whose buffer ends in a null, so the unit after the last one given can be
// read.
class IniCodec : public QTextCodec
{
public:
    QByteArray name() const override { return QByteArrayLiteral("x-veltrano-ini-utf-8"); }
    int mibEnum() const override { return -106; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return QString::fromUtf8(in, length);
    }

    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        // The first half of a pair whose second half is the next call's first unit.
        static thread_local const QChar *secondHalf = nullptr;
        QString text;
        int i = 0;
        if (secondHalf && in == secondHalf && length > 0) {
            text += in[-1];
            text += in[0];
            i = 1;
        }
        secondHalf = nullptr;
        for (; i < length; ++i) {
            if (in[i].isHighSurrogate() && in[i + 1].isLowSurrogate()) {
                if (i + 1 == length) {
                    secondHalf = in + length;
                    break;
                }
                text += in[i];
                text += in[++i];
            } else {
                text += in[i].isSurrogate() ? QChar(QChar::ReplacementCharacter) : in[i];
            }
        }
        return text.toUtf8();
    }
};

QTextCodec *iniCodec()
{
    // Qt owns every codec once it is made and deletes them at exit.
    static QTextCodec *const codec = new IniCodec;
    return codec;
}
#endif

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void normalizeFile(const QString &path)
{
    const QByteArray seen = readAll(path);
    if (normalized(seen) == seen)
        return;
    // Under the lock QSettings takes to write the file, read again.
    QLockFile lock(path + QLatin1String(".lock"));
    if (!lock.lock())
        return;
    const QByteArray content = readAll(path);
    const QByteArray fixed = normalized(content);
    if (fixed == content)
        return;
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && out.write(fixed) == fixed.size() && out.commit())
        VTRACE << "stored as UTF-8 with escaped keys:" << path;
    else
        VTRACE << "cannot store as UTF-8, read as it is:" << path;
}

} // namespace

QByteArray normalized(const QByteArray &content)
{
    const QByteArray bytes = content.startsWith(kByteOrderMark) ? content.mid(kByteOrderMark.size()) : content;
    if (!isText(bytes))
        return content;
    const bool utf8 = isUtf8(bytes);
    QString text = utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
    if (utf8 && !hasNonAscii(text))
        return bytes;

    // Line by line as Qt reads them: comments, [sections] and key=value,
    // where a value may go on over several lines.
    QStringList lines = text.split(QLatin1Char('\n'));
    bool insideValue = false;
    for (QString &line : lines) {
        if (insideValue) {
            insideValue = continues(line);
            continue;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char(';')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const int open = line.indexOf(QLatin1Char('['));
            int close = line.indexOf(QLatin1Char(']'), open);
            if (close < 0)
                close = line.size();
            line = line.left(open + 1) + escapedKey(line.mid(open + 1, close - open - 1)) + line.mid(close);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            line = escapedKey(line);
            continue;
        }
        line = escapedKey(line.left(equals)) + line.mid(equals);
        insideValue = continues(line.mid(equals + 1));
    }
    return lines.join(QLatin1Char('\n')).toUtf8();
}

std::unique_ptr<QSettings> open(const QString &path)
{
    normalizeFile(path);
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings->setIniCodec(iniCodec());
#endif
    return settings;
}

} // namespace Veltrano::IniFile
