#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <optional>

// What an instrument's next weighing takes as its sample ID, known before it
// happens (the Weighing window shows it). In order of precedence:
//   1. the next line of the worklist in use, while one is (its nominal too),
//   2. an ID typed in the window or read by a barcode scanner: the latest one
//      waiting replaces the one before,
//   3. the numbering pattern, where one is set,
//   4. nothing: the weighing takes an empty ID. A weighing never waits.
namespace Veltrano {

struct NextSample
{
    enum class Source { None, Worklist, Typed, Numbered };

    QString sampleId;
    std::optional<double> nominal;  // from the worklist's second column
    QString series;                 // the series the weighing belongs to
    Source source = Source::None;
};

// The worklist in use, which SampleIds asks first.
class WorklistSource
{
public:
    virtual ~WorklistSource() = default;
    // The next sample of the worklist in use; nothing while none is.
    virtual std::optional<NextSample> peekSample() const = 0;
    // Consumes that sample. It is given even when its being taken could not
    // be kept on disk; *error then tells why (once, not at every weighing).
    virtual std::optional<NextSample> takeSample(QString *error) = 0;
};

// A numbering pattern: literal text around {n} (the number), {n:W} or
// {n:0W} (the number with at least W digits, zeros in front); "{{" and "}}"
// stand for braces. "S-{n:04}" numbers S-0001, S-0002, ...
class IdPattern
{
public:
    // Nothing, with *error set, for a pattern without {n}, with another
    // placeholder, an unmatched brace or a width beyond kMaxWidth.
    static std::optional<IdPattern> parse(const QString &pattern, QString *error);
    QString format(qint64 number) const;
    QString text() const { return m_text; }

    static constexpr int kMaxWidth = 18;

private:
    struct Piece
    {
        QString literal;  // the text before the number
        int width = -1;   // -1: no number follows
    };
    QString m_text;
    QVector<Piece> m_pieces;
};

class SampleIds
{
public:
    // The ID typed in the window: trimmed; an empty text withdraws the waiting one.
    void setTyped(const QString &sampleId);
    // A barcode scanner's line: control characters and surrounding blanks
    // dropped, UTF-8 (else Latin-1). An empty line is ignored (false).
    bool scanned(const QByteArray &line);
    QString typed() const { return m_typed; }

    // An empty pattern switches numbering off. A refused pattern leaves the
    // one before in place.
    bool setPattern(const QString &pattern, QString *error);
    QString pattern() const { return m_pattern ? m_pattern->text() : QString(); }
    // The number the next numbered ID takes; 1 at first. The owner keeps it
    // over restarts (the status file) so that numbers are not given twice.
    void setNextNumber(qint64 number) { m_number = number; }
    qint64 nextNumber() const { return m_number; }

    // The series of weighings outside a worklist (empty for none).
    void setSeries(const QString &series) { m_series = series; }
    QString series() const { return m_series; }

    // The worklist to ask first; not owned, nullptr for none.
    void setWorklist(WorklistSource *worklist) { m_worklist = worklist; }

    // What the next weighing will take.
    NextSample peek() const;
    // Gives the next weighing its sample and moves on. *error as in
    // WorklistSource::takeSample().
    NextSample take(QString *error = nullptr);

private:
    NextSample own() const;

    QString m_typed;
    std::optional<IdPattern> m_pattern;
    qint64 m_number = 1;
    QString m_series;
    WorklistSource *m_worklist = nullptr;
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::NextSample)
