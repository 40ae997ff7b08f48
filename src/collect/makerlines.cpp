#include "collect/makerlines.h"

#include <optional>
#include <string_view>

namespace Veltrano::PrintLine {

namespace {

using View = std::string_view;
using Maybe = std::optional<Parsed>;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isUpper(char c)
{
    return c >= 'A' && c <= 'Z';
}

View trimmed(View text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The line without its line end, and without a line feed left over in front
// of it by a balance that ends its lines with CR LF where CR alone was taken.
View body(const QByteArray &line)
{
    View text(line.constData(), size_t(line.size()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == '\n')
        text.remove_prefix(1);
    return text;
}

QString text(View bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

// A weight as printed: an optional sign, digits, at most one decimal point or
// comma, spaces and a verified balance's brackets; at least one digit.
bool isWeight(View value)
{
    value = trimmed(value);
    if (!value.empty() && (value.front() == '+' || value.front() == '-'))
        value.remove_prefix(1);
    bool digits = false, point = false;
    for (const char c : value) {
        if (isDigit(c))
            digits = true;
        else if ((c == '.' || c == ',') && !point)
            point = true;
        else if (c != ' ' && c != '[' && c != ']')
            return false;
    }
    return digits;
}

// The result as stored: `sign` ('-' or nothing) and the value without spaces
// and brackets.
QString resultText(View value, View sign = {})
{
    QString result;
    result.reserve(int(value.size() + sign.size()));
    for (const char c : sign)
        result += QLatin1Char(c);
    for (const char c : value) {
        if (c != ' ' && c != '[' && c != ']')
            result += QLatin1Char(c);
    }
    return result;
}

Parsed reading(View header, QString result, View unit, Stability stability, Load load = Load::Normal)
{
    Parsed parsed;
    parsed.kind = Kind::Reading;
    parsed.header = text(header);
    parsed.result = std::move(result);
    parsed.unit = text(unit);
    parsed.stability = stability;
    parsed.load = load;
    return parsed;
}

Parsed skipped(Kind kind, View header = {}, Load load = Load::Normal)
{
    Parsed parsed;
    parsed.kind = kind;
    parsed.header = text(header);
    parsed.load = load;
    return parsed;
}

// MT-SICS weight responses: "S S     100.00 g" (stable), "S D ..." (dynamic),
// "S +" / "S -" (over- and underload, no value), "S I" (not executable), and
// the error responses ES, ET, EL. The unit commands answer with "SU", "SIU".
Maybe sics(View line)
{
    if (line == "ES" || line == "ET" || line == "EL")
        return skipped(Kind::NotAReading, line);
    const size_t space = line.find(' ');
    const View command = line.substr(0, space);
    if (space == View::npos || space + 1 >= line.size()
        || (command != "S" && command != "SI" && command != "SU" && command != "SIU"))
        return std::nullopt;
    const char status = line[space + 1];
    if (space + 2 < line.size() && line[space + 2] != ' ')
        return std::nullopt;
    const View header = line.substr(0, space + 2);
    if (status == '+' || status == '-')
        return skipped(Kind::Status, header, status == '+' ? Load::Overload : Load::Underload);
    if (status != 'S' && status != 'D')
        return isUpper(status) ? Maybe(skipped(Kind::NotAReading, header)) : std::nullopt;
    const View rest = trimmed(line.substr(space + 2));
    const size_t unitAt = rest.rfind(' ');
    if (unitAt == View::npos || !isWeight(rest.substr(0, unitAt)))
        return std::nullopt;
    return reading(header, resultText(rest.substr(0, unitAt)), rest.substr(unitAt + 1),
                   status == 'S' ? Stability::Stable : Stability::Unstable);
}

// Any other line of a SICS balance: a command echo or a response of another
// command ("Z A", "I4 A ...", "@").
Parsed sicsOther(View line)
{
    const View first = line.substr(0, line.find(' '));
    const bool command = !first.empty() && (isUpper(first.front()) || first.front() == '@');
    for (const char c : first) {
        if (!isUpper(c) && !isDigit(c) && c != '@')
            return skipped(Kind::NotRecognised);
    }
    return skipped(command ? Kind::NotAReading : Kind::NotRecognised);
}

// A&D standard format: header (ST, US, QT, OL), comma, sign and zero-padded
// digits (9 or 8 characters), unit (3 characters, right-justified); the CSV
// variant separates the unit by a comma (a semicolon with a decimal comma),
// the TAB variant uses tabs. Overload: "OL,+9999999E+19".
Maybe andStandard(View line)
{
    if (line.size() < 5 || (line[2] != ',' && line[2] != '\t'))
        return std::nullopt;
    const View header = line.substr(0, 2);
    Stability stability = Stability::Unknown;
    if (header == "ST" || header == "QT")
        stability = Stability::Stable;
    else if (header == "US")
        stability = Stability::Unstable;
    else if (header != "OL")
        return std::nullopt;
    const View rest = line.substr(3);
    if (rest.front() != '+' && rest.front() != '-')
        return std::nullopt;
    size_t end = 1;
    bool digits = false;
    while (end < rest.size()) {
        const char c = rest[end];
        const bool next = end + 1 < rest.size() && (isDigit(rest[end + 1]) || rest[end + 1] == '+' || rest[end + 1] == '-');
        if (isDigit(c))
            digits = true;
        else if (c != '.' && !((c == ',' || c == 'E') && next) && !((c == '+' || c == '-') && rest[end - 1] == 'E'))
            break;
        ++end;
    }
    View unit = rest.substr(end);
    if (!unit.empty() && (unit.front() == ',' || unit.front() == ';' || unit.front() == '\t'))
        unit.remove_prefix(1);
    unit = trimmed(unit);
    if (!digits || unit.find_first_of(",;\t") != View::npos)
        return std::nullopt;
    Load load = Load::Normal;
    if (header == "OL")
        load = rest.front() == '+' ? Load::Overload : Load::Underload;
    return reading(header, resultText(rest.substr(0, end)), unit, stability, load);
}

// Radwag and Kern: stability marker (space, "?", "^" or "v"), space, sign
// (space or "-"), mass (9 characters, 11 on a verified balance), space, unit
// (3 characters, left-justified). The answer to a command puts the command's
// name (3 characters, "SI ") in front; "SI I", "S A", "S E" answer without a
// weight, "S ^" / "S v" or a lone "^" / "v" tell of an out-of-range load.
Maybe radwagKern(View line)
{
    const auto outOfRange = [](char mark) { return mark == '^' ? Load::Overload : Load::Underload; };
    if (line == "^" || line == "v")
        return skipped(Kind::Status, line, outOfRange(line.front()));
    const size_t space = line.find(' ');
    if (space >= 1 && space <= 3 && line.size() == space + 2) {
        for (size_t i = 0; i < space; ++i) {
            if (!isUpper(line[i]))
                return std::nullopt;
        }
        const char answer = line.back();
        if (answer == '^' || answer == 'v')
            return skipped(Kind::Status, line.substr(space + 1), outOfRange(answer));
        if (answer == 'I' || answer == 'A' || answer == 'E')
            return skipped(Kind::NotAReading, line);
        return std::nullopt;
    }
    if ((line.size() == 19 || line.size() == 21) && isUpper(line.front()) && line[2] == ' ')
        line.remove_prefix(3);
    const size_t size = line.size();
    if ((size != 16 && size != 18) || line[1] != ' ' || (line[2] != ' ' && line[2] != '-') || line[size - 4] != ' ')
        return std::nullopt;
    const char mark = line.front();
    const View mass = line.substr(3, size - 7);
    const View unit = trimmed(line.substr(size - 3));
    if (!isWeight(mass) || mass.find_first_of("+-") != View::npos || unit.empty() || line[size - 3] == ' ')
        return std::nullopt;
    Stability stability = Stability::Unknown;
    Load load = Load::Normal;
    if (mark == ' ' || mark == '?')
        stability = mark == ' ' ? Stability::Stable : Stability::Unstable;
    else if (mark == '^' || mark == 'v')
        load = outOfRange(mark);
    else
        return std::nullopt;
    return reading(trimmed(line.substr(0, 1)), resultText(mass, line.substr(2, line[2] == '-')), unit, stability, load);
}

// Shimadzu: stability ("S" or "U", when the balance is set to send it), sign
// (space or "-"), the absolute value right-aligned in 8 or 9 places (2 more
// for a verified balance's brackets), the unit right after it (1 to 3
// letters, padded), CR. Out of range the value reads "oL".
Maybe shimadzu(View line)
{
    size_t at = 0;
    Stability stability = Stability::Unknown;
    if (line.size() > 1 && (line[0] == 'S' || line[0] == 'U') && (line[1] == ' ' || line[1] == '-')) {
        stability = line[0] == 'S' ? Stability::Stable : Stability::Unstable;
        at = 1;
    }
    if (at >= line.size() || (line[at] != ' ' && line[at] != '-'))
        return std::nullopt;
    const View header = line.substr(0, at);
    const View sign = line.substr(at, line[at] == '-');
    const size_t start = ++at;
    while (at < line.size() && line[at] == ' ')
        ++at;
    const size_t valueAt = at;
    while (at < line.size() && (isDigit(line[at]) || line[at] == '.' || line[at] == '[' || line[at] == ']'))
        ++at;
    const View rest = trimmed(line.substr(at));
    if (at == valueAt && (rest == "oL" || rest == "OL"))
        return reading(header, resultText(rest, sign), View(), stability,
                       sign.empty() ? Load::Overload : Load::Underload);
    if (at - start < 8 || at - start > 11 || rest.empty() || rest.size() > 3 || at == line.size() || line[at] == ' '
        || !isWeight(line.substr(valueAt, at - valueAt)) || rest.find_first_of("0123456789 ") != View::npos)
        return std::nullopt;
    return reading(header, resultText(line.substr(valueAt, at - valueAt), sign), rest, stability);
}

// Ohaus: the weight right-justified ("-" in front of it, or apart from it as
// the first field of the indicators), unit, "?" while not stable, a legend.
Maybe ohaus(View line)
{
    line = trimmed(line);
    View sign;
    if (line.size() > 1 && line[0] == '-' && line[1] == ' ') {
        sign = line.substr(0, 1);
        line = trimmed(line.substr(1));
    }
    const size_t weightEnd = line.find(' ');
    if (weightEnd == View::npos || !isWeight(line.substr(0, weightEnd)) || line.front() == '+'
        || (!sign.empty() && line.front() == '-'))
        return std::nullopt;
    const View afterWeight = trimmed(line.substr(weightEnd));
    const View unit = afterWeight.substr(0, afterWeight.find(' '));
    if (unit.empty() || isDigit(unit.front()) || unit.front() == '?' || unit.front() == '-')
        return std::nullopt;
    const View mark = trimmed(afterWeight.substr(unit.size()));
    const bool unstable = !mark.empty() && mark.front() == '?';
    return reading(unstable ? mark.substr(0, 1) : View(), resultText(line.substr(0, weightEnd), sign), unit,
                   unstable ? Stability::Unstable : Stability::Stable);
}

// A line the 16/22-byte rule can read: sign or space at the start of the
// value field, the separator in place, CR LF, no "?" in the unit field.
bool sartoriusShaped(const QByteArray &line)
{
    const int size = line.size();
    if (size != kShortLength && size != kLongLength)
        return false;
    const int value = size == kLongLength ? 6 : 0;
    const char first = line.at(value);
    return (first == '+' || first == '-' || first == ' ') && line.at(value + 10) == ' ' && line.at(size - 2) == '\r'
           && line.at(size - 1) == '\n' && !line.mid(value + 11, 3).contains('?');
}

Parsed orNotRecognised(const Maybe &parsed)
{
    return parsed ? *parsed : skipped(Kind::NotRecognised);
}

QByteArray cut(QByteArray &buffer, int length)
{
    QByteArray line = buffer.left(length);
    buffer.remove(0, length);
    return line;
}

struct TypeValue
{
    const char *value;
    Format format;
};

constexpr TypeValue kFormats[] = {
    {"sartoriusBasic", Format::Sartorius}, {"sartoriusSignum", Format::Sartorius},
    {"mettlerToledoSics", Format::MettlerToledoSics}, {"andStandard", Format::AndStandard},
    {"ohaus", Format::Ohaus}, {"radwagKern", Format::RadwagKern},
    {"shimadzu", Format::Shimadzu}, {"automatic", Format::Automatic},
};

} // namespace

Format formatOf(const QString &typeValue)
{
    for (const TypeValue &known : kFormats) {
        if (typeValue == QLatin1String(known.value))
            return known.format;
    }
    return Format::Sartorius;
}

QByteArray takeLine(QByteArray &buffer, Format format)
{
    if (format == Format::Shimadzu) {
        const int end = buffer.indexOf('\r');
        return end < 0 ? QByteArray() : cut(buffer, end + 1);
    }
    if (format != Format::Automatic)
        return takeLine(buffer);
    for (int i = 0; i < buffer.size(); ++i) {
        const char c = buffer.at(i);
        if (c == '\n')
            return cut(buffer, i + 1);
        if (c == '\r') {
            if (i + 1 == buffer.size())
                return {};
            return cut(buffer, buffer.at(i + 1) == '\n' ? i + 2 : i + 1);
        }
    }
    return {};
}

Parsed parse(const QByteArray &line, Format format)
{
    const View text = body(line);
    switch (format) {
    case Format::Sartorius:
        return parse(line);
    case Format::MettlerToledoSics:
        if (const Maybe parsed = sics(text))
            return *parsed;
        return sicsOther(text);
    case Format::AndStandard:
        return orNotRecognised(andStandard(text));
    case Format::Ohaus:
        return orNotRecognised(ohaus(text));
    case Format::RadwagKern:
        return orNotRecognised(radwagKern(text));
    case Format::Shimadzu:
        return orNotRecognised(shimadzu(text));
    case Format::Automatic:
        break;
    }
    if (sartoriusShaped(line))
        return parse(line);
    for (const auto layout : {andStandard, radwagKern, sics, shimadzu, ohaus}) {
        if (const Maybe parsed = layout(text))
            return *parsed;
    }
    return skipped(Kind::NotRecognised);
}

QString skipReason(const Parsed &parsed)
{
    switch (parsed.kind) {
    case Kind::Reading:
        break;
    case Kind::ErrorCode:
        return QStringLiteral("error code");
    case Kind::Status:
        return QStringLiteral("status line");
    case Kind::WrongLength:
        return QStringLiteral("length");
    case Kind::NotAReading:
        return QStringLiteral("not a reading");
    case Kind::NotRecognised:
        return QStringLiteral("layout not recognised");
    }
    return QString();
}

} // namespace Veltrano::PrintLine
