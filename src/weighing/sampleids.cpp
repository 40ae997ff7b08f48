#include "weighing/sampleids.h"

namespace Veltrano {

std::optional<IdPattern> IdPattern::parse(const QString &pattern, QString *error)
{
    auto refuse = [&](const QString &why) -> std::optional<IdPattern> {
        if (error)
            *error = QStringLiteral("numbering pattern \"%1\": %2").arg(pattern, why);
        return std::nullopt;
    };
    IdPattern result;
    result.m_text = pattern;
    Piece piece;
    bool number = false;
    for (int at = 0; at < pattern.size(); ++at) {
        const QChar c = pattern.at(at);
        const QChar next = at + 1 < pattern.size() ? pattern.at(at + 1) : QChar();
        if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && next == c) {
            piece.literal += c;
            ++at;
        } else if (c == QLatin1Char('}')) {
            return refuse(QStringLiteral("a \"}\" without its \"{\" (write \"}}\" for one)"));
        } else if (c == QLatin1Char('{')) {
            const int close = pattern.indexOf(QLatin1Char('}'), at);
            if (close < 0)
                return refuse(QStringLiteral("a \"{\" without its \"}\" (write \"{{\" for one)"));
            const QString inside = pattern.mid(at + 1, close - at - 1);
            int width = 0;
            if (inside.startsWith(QLatin1String("n:"))) {
                bool ok = false;
                width = inside.mid(2).toInt(&ok);
                if (!ok || inside.size() < 3 || !inside.at(2).isDigit() || width < 1 || width > kMaxWidth)
                    return refuse(
                        QStringLiteral("{%1}: the width is a number from 1 to %2").arg(inside).arg(kMaxWidth));
            } else if (inside != QLatin1String("n")) {
                return refuse(QStringLiteral("{%1} is not {n}, {n:W} or {n:0W}").arg(inside));
            }
            piece.width = width;
            result.m_pieces << piece;
            piece = Piece();
            number = true;
            at = close;
        } else {
            piece.literal += c;
        }
    }
    if (!number)
        return refuse(QStringLiteral("there is no {n} for the number"));
    result.m_pieces << piece;
    return result;
}

QString IdPattern::format(qint64 number) const
{
    QString id;
    for (const Piece &piece : m_pieces) {
        id += piece.literal;
        if (piece.width >= 0) {
            const QString digits = QString::number(std::abs(number));
            id += (number < 0 ? QStringLiteral("-") : QString()) + digits.rightJustified(piece.width, QLatin1Char('0'));
        }
    }
    return id;
}

void SampleIds::setTyped(const QString &sampleId) { m_typed = sampleId.trimmed(); }

bool SampleIds::scanned(const QByteArray &line)
{
    QString text = QString::fromUtf8(line);
    if (text.toUtf8() != line)
        text = QString::fromLatin1(line);
    QString id;
    for (const QChar c : qAsConst(text))
        if (c.category() != QChar::Other_Control)
            id += c;
    id = id.trimmed();
    if (id.isEmpty())
        return false;
    m_typed = id;
    return true;
}

bool SampleIds::setPattern(const QString &pattern, QString *error)
{
    if (pattern.trimmed().isEmpty()) {
        m_pattern.reset();
        return true;
    }
    std::optional<IdPattern> parsed = IdPattern::parse(pattern, error);
    if (!parsed)
        return false;
    m_pattern = parsed;
    return true;
}

NextSample SampleIds::own() const
{
    NextSample next;
    next.series = m_series;
    if (!m_typed.isEmpty()) {
        next.sampleId = m_typed;
        next.source = NextSample::Source::Typed;
    } else if (m_pattern) {
        next.sampleId = m_pattern->format(m_number);
        next.source = NextSample::Source::Numbered;
    }
    return next;
}

NextSample SampleIds::peek() const
{
    if (m_worklist)
        if (std::optional<NextSample> listed = m_worklist->peekSample())
            return *listed;
    return own();
}

NextSample SampleIds::take(QString *error)
{
    if (m_worklist)
        if (std::optional<NextSample> listed = m_worklist->takeSample(error))
            return *listed;
    const NextSample next = own();
    if (next.source == NextSample::Source::Typed)
        m_typed.clear();
    else if (next.source == NextSample::Source::Numbered)
        ++m_number;
    return next;
}

} // namespace Veltrano
