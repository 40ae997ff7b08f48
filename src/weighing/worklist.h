#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// A worklist: the sample IDs a balance's next weighings take, in order, each
// with an optional nominal value (the target its weighing is checked
// against with the instrument's limits).
//
// The file is CSV as spreadsheets save it: one sample a line, the sample ID
// first and the nominal second; fields separated by ";" where any line holds
// one outside quotes, else by ","; fields in double quotes may hold the
// separator and "" for a quote; a UTF-8 byte-order mark, CRLF or CR line
// ends and blank lines are taken. A first line that names its columns
// ("sample" or "sample id", then "nominal...") is a header. Lines starting
// with "#" are comments (a completed worklist ends with one). A nominal may
// have a decimal comma. Text that is not UTF-8 is read as Latin-1.
//
// Refused lines (a missing sample ID, a nominal that is no number, a third
// column with something in it, a line break inside a sample ID) are listed
// in `errors` with their line numbers; a worklist with any of them is not to
// be used, as the samples after a missing line would take the wrong IDs.
namespace Veltrano {

struct WorklistEntry
{
    QString sampleId;
    std::optional<double> nominal;
    QString nominalText;  // as written, with a decimal point
    int line = 0;         // where it stands in the file, from 1
};

struct Worklist
{
    QVector<WorklistEntry> entries;
    QStringList errors;  // "line 4: ..."

    // The way worklist files end each comment: the mark at the start of a line.
    static constexpr char kCommentMark = '#';

    static Worklist parse(const QByteArray &content);
    // Reads and parses a file; nothing, with *error set, when it cannot be read.
    static std::optional<Worklist> read(const QString &path, QString *error);

    // Whether it can be used: at least one sample and no refused line.
    bool isUsable() const { return errors.isEmpty() && !entries.isEmpty(); }
    // Why it cannot be used, in one text: the first few refused lines.
    QString problem() const;
};

} // namespace Veltrano
