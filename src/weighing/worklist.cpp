#include "weighing/worklist.h"

#include "weighing/weighingsettings.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace Veltrano {

namespace {

// UTF-8 where the bytes are, else Latin-1 (a spreadsheet's ANSI export).
QString decoded(QByteArray bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? text : QString::fromLatin1(bytes);
}

struct Record
{
    QStringList fields;
    int line = 0;
    bool comment = false;
    bool unclosedQuote = false;
};

// Cuts `text` into records of fields. A line end is CR LF, LF or CR; inside
// quotes it belongs to the field.
class RecordReader
{
public:
    RecordReader(const QString &text, QChar separator) : m_text(text), m_separator(separator) {}

    bool atEnd() const { return m_at >= m_text.size(); }

    Record next()
    {
        Record record;
        record.line = m_line;
        skipBlanks();
        if (!atEnd() && m_text.at(m_at) == QLatin1Char(Worklist::kCommentMark)) {
            record.comment = true;
            while (!atEnd() && !lineEnd())
                ++m_at;
            return record;
        }
        QString field;
        bool quoted = false, inQuotes = false;
        while (!atEnd()) {
            const QChar c = m_text.at(m_at);
            if (inQuotes) {
                if (c == QLatin1Char('"')) {
                    if (m_at + 1 < m_text.size() && m_text.at(m_at + 1) == QLatin1Char('"')) {
                        field += c;
                        m_at += 2;
                        continue;
                    }
                    inQuotes = false;
                    ++m_at;
                    continue;
                }
                if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
                    field += c;
                    lineEnd();
                    continue;
                }
                field += c;
                ++m_at;
                continue;
            }
            if (lineEnd())
                break;
            ++m_at;
            if (c == m_separator) {
                record.fields << (quoted ? field : field.trimmed());
                field.clear();
                quoted = false;
                skipBlanks();
            } else if (c == QLatin1Char('"') && !quoted && field.trimmed().isEmpty()) {
                quoted = inQuotes = true;
                field.clear();
            } else {
                field += c;
            }
        }
        record.fields << (quoted ? field : field.trimmed());
        record.unclosedQuote = inQuotes;
        return record;
    }

private:
    void skipBlanks()
    {
        while (!atEnd() && (m_text.at(m_at) == QLatin1Char(' ') || m_text.at(m_at) == QLatin1Char('\t')))
            ++m_at;
    }

    // Steps over a line end at the current position; false where there is none.
    bool lineEnd()
    {
        if (m_text.at(m_at) == QLatin1Char('\r')) {
            ++m_at;
            if (!atEnd() && m_text.at(m_at) == QLatin1Char('\n'))
                ++m_at;
        } else if (m_text.at(m_at) == QLatin1Char('\n')) {
            ++m_at;
        } else {
            return false;
        }
        ++m_line;
        return true;
    }

    const QString &m_text;
    const QChar m_separator;
    int m_at = 0;
    int m_line = 1;
};

// ";" where any line holds one outside quotes, else ",".
QChar separatorOf(const QString &text)
{
    RecordReader probe(text, QLatin1Char(';'));
    while (!probe.atEnd()) {
        const Record record = probe.next();
        if (!record.comment && record.fields.size() > 1)
            return QLatin1Char(';');
    }
    return QLatin1Char(',');
}

bool isHeader(const QStringList &fields)
{
    static const QRegularExpression sample(QStringLiteral("^sample[ _-]?(id|no\\.?|number)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression nominal(QStringLiteral("^nominal"), QRegularExpression::CaseInsensitiveOption);
    return sample.match(fields.first()).hasMatch()
           && (fields.size() < 2 || fields.at(1).isEmpty() || nominal.match(fields.at(1)).hasMatch());
}

} // namespace

Worklist Worklist::parse(const QByteArray &content)
{
    Worklist list;
    const QString text = decoded(content);
    RecordReader reader(text, separatorOf(text));
    bool first = true;
    while (!reader.atEnd()) {
        const Record record = reader.next();
        const QStringList &fields = record.fields;
        if (record.comment || std::all_of(fields.cbegin(), fields.cend(), [](const QString &f) { return f.isEmpty(); }))
            continue;
        const bool header = first && isHeader(fields);
        first = false;
        if (header)
            continue;
        auto refuse = [&](const QString &why) {
            list.errors << QStringLiteral("line %1: %2").arg(record.line).arg(why);
        };
        if (record.unclosedQuote) {
            refuse(QStringLiteral("a quote is not closed"));
            continue;
        }
        WorklistEntry entry;
        entry.sampleId = fields.first().trimmed();
        entry.line = record.line;
        if (entry.sampleId.isEmpty()) {
            refuse(QStringLiteral("no sample ID"));
            continue;
        }
        if (entry.sampleId.contains(QLatin1Char('\n')) || entry.sampleId.contains(QLatin1Char('\r'))) {
            refuse(QStringLiteral("the sample ID holds a line break"));
            continue;
        }
        if (std::any_of(fields.cbegin() + std::min<int>(2, fields.size()), fields.cend(),
                        [](const QString &f) { return !f.isEmpty(); })) {
            refuse(QStringLiteral("more than two columns (sample ID and nominal)"));
            continue;
        }
        const QString nominal = fields.value(1).trimmed();
        if (!nominal.isEmpty()) {
            entry.nominal = parseNumber(nominal, nullptr);
            if (!entry.nominal) {
                refuse(QStringLiteral("\"%1\" is not a nominal value").arg(nominal));
                continue;
            }
            entry.nominalText = QString(nominal).replace(QLatin1Char(','), QLatin1Char('.'));
        }
        list.entries << entry;
    }
    return list;
}

std::optional<Worklist> Worklist::read(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return parse(file.readAll());
}

QString Worklist::problem() const
{
    if (errors.isEmpty())
        return entries.isEmpty() ? QStringLiteral("no samples") : QString();
    constexpr int kShown = 5;
    QString text = errors.mid(0, kShown).join(QLatin1String("; "));
    if (errors.size() > kShown)
        text += QStringLiteral(" (and %1 more)").arg(errors.size() - kShown);
    return text;
}

} // namespace Veltrano
