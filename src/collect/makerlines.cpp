#include "collect/makerlines.h"

#include <initializer_list>
#include <optional>
#include <utility>
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

bool isLetter(char c)
{
    return isUpper(c) || (c >= 'a' && c <= 'z');
}

bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
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
    while (!text.empty() && isLineEnd(text.back()))
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

Parsed reading(View header, QString result, View unit, Stability stability, Load load = Load::Normal,
               WeightKind weight = WeightKind::Unknown)
{
    Parsed parsed;
    parsed.kind = Kind::Reading;
    parsed.header = text(header);
    parsed.result = std::move(result);
    parsed.unit = text(unit);
    parsed.stability = stability;
    parsed.load = load;
    parsed.weight = weight;
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

// The weight kind of a mark that says nothing else: one of `marks`, compared
// exactly.
WeightKind kindOf(View mark, std::initializer_list<std::pair<View, WeightKind>> marks)
{
    for (const auto &[known, kind] : marks) {
        if (mark == known)
            return kind;
    }
    return WeightKind::Unknown;
}

// A&D standard format: header (ST, US, QT, OL), comma, sign and zero-padded
// digits (9 or 8 characters), unit (3 characters, right-justified); the CSV
// variant separates the unit by a comma (a semicolon with a decimal comma),
// the TAB variant uses tabs. Overload: "OL,+9999999E+19". The indicators
// (and Kern's) put a second header after the first: GS gross, NT net, TR
// tare ("ST,NT,+0012.345 kg"); out of range their digits are blanks
// ("OL,GS,+    .   kg"), a status line. With `kindNeeded` only such lines.
Maybe andStandard(View line, bool kindNeeded = false)
{
    if (line.size() < 5 || (line[2] != ',' && line[2] != '\t'))
        return std::nullopt;
    Stability stability = Stability::Unknown;
    const View first = line.substr(0, 2);
    if (first == "ST" || first == "QT")
        stability = Stability::Stable;
    else if (first == "US")
        stability = Stability::Unstable;
    else if (first != "OL")
        return std::nullopt;
    View rest = line.substr(3);
    WeightKind weight = WeightKind::Unknown;
    if (rest.size() > 3 && isUpper(rest[0]) && isUpper(rest[1]) && rest[2] == line[2]) {
        weight = kindOf(rest.substr(0, 2),
                        {{"GS", WeightKind::Gross}, {"NT", WeightKind::Net}, {"TR", WeightKind::Tare}});
        if (weight == WeightKind::Unknown)
            return std::nullopt;
        rest.remove_prefix(3);
    } else if (kindNeeded) {
        return std::nullopt;
    }
    const View header = line.substr(0, weight == WeightKind::Unknown ? 2 : 5);
    if (rest.front() != '+' && rest.front() != '-')
        return std::nullopt;
    const Load outOfRange = rest.front() == '+' ? Load::Overload : Load::Underload;
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
    if (!digits && first == "OL" && weight != WeightKind::Unknown
        && trimmed(rest.substr(1)).find_first_of("0123456789,;\t") == View::npos)
        return skipped(Kind::Status, header, outOfRange);
    View unit = rest.substr(end);
    if (!unit.empty() && (unit.front() == ',' || unit.front() == ';' || unit.front() == '\t'))
        unit.remove_prefix(1);
    unit = trimmed(unit);
    if (!digits || unit.find_first_of(",;\t") != View::npos)
        return std::nullopt;
    return reading(header, resultText(rest.substr(0, end)), unit, stability,
                   first == "OL" ? outOfRange : Load::Normal, weight);
}

// Radwag and Kern: stability marker (space, "?", "^" or "v"), space, sign
// (space, "-" or "+"; or space and the sign at the digits), mass (9
// characters, 11 on a verified balance), space, unit (3 characters,
// left-justified). The answer to a command puts the command's name (3
// characters, "SI ") in front; "SI I", "S A", "S E" answer without a weight,
// "S ^" / "S v" or a lone "^" / "v" tell of an out-of-range load.
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
    const auto isSign = [](char c) { return c == '+' || c == '-'; };
    if ((size != 16 && size != 18) || line[1] != ' ' || (line[2] != ' ' && !isSign(line[2])) || line[size - 4] != ' ')
        return std::nullopt;
    const char mark = line.front();
    View sign = line.substr(2, line[2] != ' ');
    View mass = line.substr(3, size - 7);
    if (sign.empty()) {
        // The sign at the digits: "     -12.345" in the mass field.
        const View digits = trimmed(mass);
        if (!digits.empty() && isSign(digits.front()) && digits.size() > 1 && digits[1] != ' ') {
            sign = digits.substr(0, 1);
            mass = digits.substr(1);
        }
    }
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
    return reading(trimmed(line.substr(0, 1)), resultText(mass, sign), unit, stability, load);
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
// the first field of the indicators), unit, "?" while not stable (a blank
// when stable), a legend: "G" gross, "NET" or "N" net, "T" tare, or another
// text (a time, "WET WT") that says nothing of the weight. With `strict`, as
// the automatic format reads them, only a line that goes on after its unit
// (the stability column), with no legend or one that is a weight kind or a
// time.
Maybe ohaus(View line, bool strict = false)
{
    const char *end = line.data() + line.size();
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
    if (unit.empty() || isDigit(unit.front()) || unit.front() == '?' || unit.front() == '-'
        || (strict && unit.data() + unit.size() == end))
        return std::nullopt;
    const View mark = trimmed(afterWeight.substr(unit.size()));
    const bool unstable = !mark.empty() && mark.front() == '?';
    const View legend = trimmed(mark.substr(unstable ? 1 : 0));
    const WeightKind weight = kindOf(legend, {{"G", WeightKind::Gross}, {"NET", WeightKind::Net},
                                              {"N", WeightKind::Net}, {"T", WeightKind::Tare}});
    if (strict && weight == WeightKind::Unknown && legend.find_first_not_of("0123456789:") != View::npos)
        return std::nullopt;
    return reading(unstable ? mark.substr(0, 1) : View(), resultText(line.substr(0, weightEnd), sign), unit,
                   unstable ? Stability::Unstable : Stability::Stable, Load::Normal, weight);
}

// Any balance's line that is one number and its unit: an optional sign (blanks
// may follow it), digits with at most one decimal point or comma, and 1 to 3
// letters after them, blanks around; nothing else. It says nothing of
// stability.
Maybe generic(View line)
{
    line = trimmed(line);
    size_t at = 0;
    View sign;
    if (!line.empty() && (line.front() == '+' || line.front() == '-')) {
        sign = line.substr(0, 1);
        for (at = 1; at < line.size() && line[at] == ' ';)
            ++at;
    }
    const size_t numberAt = at;
    bool digits = false, point = false;
    for (; at < line.size(); ++at) {
        const char c = line[at];
        if (isDigit(c))
            digits = true;
        else if ((c == '.' || c == ',') && !point)
            point = true;
        else
            break;
    }
    const View unit = trimmed(line.substr(at));
    if (!digits || unit.empty() || unit.size() > 3)
        return std::nullopt;
    for (const char c : unit) {
        if (!isLetter(c))
            return std::nullopt;
    }
    Parsed parsed = reading(View(), resultText(line.substr(numberAt, at - numberAt), sign), unit, Stability::Unknown);
    parsed.generic = true;
    return parsed;
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

// A line that is nothing but line ends: no line at all for the formats that
// are not Sartorius.
bool onlyLineEnds(const QByteArray &line)
{
    for (const char c : line) {
        if (!isLineEnd(c))
            return false;
    }
    return true;
}

// The first complete line of `buffer` by the format's line end, whatever it holds.
QByteArray cutLine(QByteArray &buffer, Format format)
{
    if (format == Format::Shimadzu) {
        const int end = buffer.indexOf('\r');
        return end < 0 ? QByteArray() : cut(buffer, end + 1);
    }
    for (int i = 0; i < buffer.size(); ++i) {
        const char c = buffer.at(i);
        if (c == '\n' || (c == '\r' && format == Format::Barcode))
            return cut(buffer, i + 1);
        if (c == '\r' && format == Format::Automatic) {
            if (i + 1 == buffer.size())
                return {};
            return cut(buffer, buffer.at(i + 1) == '\n' ? i + 2 : i + 1);
        }
    }
    return {};
}

Parsed scannedLine(const QByteArray &line)
{
    Parsed parsed;
    parsed.kind = Kind::NotAReading;
    parsed.result = QString::fromUtf8(line).trimmed();
    parsed.scanned = true;
    return parsed;
}

} // namespace

Format formatOf(const QString &typeValue)
{
    const Makers::Type *type = Makers::typeNamed(typeValue);
    return type ? type->format : Format::Sartorius;
}

QByteArray takeLine(QByteArray &buffer, Format format)
{
    if (format == Format::Sartorius)
        return takeLine(buffer);
    for (;;) {
        QByteArray line = cutLine(buffer, format);
        if (!onlyLineEnds(line))
            return line;
        if (line.isEmpty())
            return {};
    }
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
        if (const Maybe parsed = radwagKern(text))
            return *parsed;
        return orNotRecognised(andStandard(text, true));
    case Format::Shimadzu:
        return orNotRecognised(shimadzu(text));
    case Format::Barcode:
        return scannedLine(line);
    case Format::Automatic:
        break;
    }
    if (sartoriusShaped(line))
        return parse(line);
    using Layout = Maybe (*)(View);
    const auto ohausStrict = [](View text) { return ohaus(text, true); };
    const auto andOnly = [](View text) { return andStandard(text); };
    for (const Layout layout : {Layout(andOnly), radwagKern, sics, shimadzu, Layout(ohausStrict), generic}) {
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

QString outcomeText(const Parsed &parsed)
{
    if (parsed.kind == Kind::Reading)
        return parsed.generic ? QStringLiteral("reading (generic layout)") : QStringLiteral("reading");
    if (parsed.scanned)
        return QStringLiteral("sample ID");
    return QStringLiteral("skipped: ") + skipReason(parsed);
}

QStringList takeScannedIds(QByteArray &buffer)
{
    QStringList ids;
    for (QByteArray line = takeLine(buffer, Format::Barcode); !line.isEmpty();
         line = takeLine(buffer, Format::Barcode)) {
        const QString id = scannedLine(line).result;
        if (!id.isEmpty())
            ids << id;
    }
    return ids;
}

} // namespace Veltrano::PrintLine
