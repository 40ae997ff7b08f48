#include "report/reportwriter.h"

#include "report/reportchart.h"

#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <functional>
#include <utility>

namespace Veltrano {

namespace {

// Device units: 1200 per inch, fine enough for hairlines and small marks.
constexpr int kResolution = 1200;
constexpr qreal kMm = kResolution / 25.4;
constexpr qreal kSideMargin = 15 * kMm;
constexpr qreal kTopMargin = 10 * kMm;
constexpr qreal kBottomMargin = 10 * kMm;
// Balances named in the header itself; more are listed on the first page.
constexpr int kHeaderBalances = 3;
const QString kDash = QStringLiteral("\u2014");
const QString kBlank = QStringLiteral("______");

// Control characters (a line end in a sample ID) drawn as blanks.
QString shown(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            QString clean = text;
            for (QChar &d : clean) {
                if (d.unicode() < 0x20 || d.unicode() == 0x7f)
                    d = QLatin1Char(' ');
            }
            return clean;
        }
    }
    return text;
}

QString orDash(const QString &text)
{
    return text.trimmed().isEmpty() ? kDash : shown(text);
}

// 2026-03-02 09:15:00 UTC+01:00
QString momentText(const QDateTime &moment)
{
    if (!moment.isValid())
        return {};
    const int offset = moment.offsetFromUtc();
    QString zone = QStringLiteral("UTC");
    if (offset != 0) {
        zone += QStringLiteral("%1%2:%3")
                    .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                    .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
                    .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    }
    return moment.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + zone;
}

QString coverageText(const ReportCoverage &coverage)
{
    switch (coverage.kind) {
    case ReportCoverage::Series:
        return QStringLiteral("Series: %1").arg(orDash(coverage.name));
    case ReportCoverage::Check:
        return QStringLiteral("Check: %1").arg(orDash(coverage.name));
    case ReportCoverage::Range:
        break;
    }
    if (coverage.instruments.isEmpty())
        return QStringLiteral("Rows of every instrument");
    return QStringLiteral("Rows of %1").arg(shown(coverage.instruments.join(QStringLiteral(", "))));
}

QString balanceText(const ReportBalance &balance)
{
    return QStringLiteral("Balance: %1    ID: %2    Maker: %3    Model: %4    Serial: %5")
        .arg(orDash(balance.name), orDash(balance.id), orDash(balance.maker), orDash(balance.model),
             orDash(balance.serial));
}

QFont font(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    // No ligatures: "ff" in a hash must be read back as two letters.
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

struct Column
{
    QString title;
    qreal share;  // of the body's width
    bool right = false;
    bool marker = false;  // the row's class mark before the text
};

// One line of the header: a text on the left, one on the right.
struct HeaderLine
{
    QString left;
    QString right;
    bool title = false;
};

// Lays the report out on pages and draws it. Run once without a painter to
// count the pages, then with one to draw them: both runs take the same
// steps, so "Page N of M" is known on every page.
class Composer
{
public:
    Composer(const ReportData &data, const ReportSeal &seal, QPdfWriter *writer);
    int run(QPainter *painter, int pageCount);

private:
    void beginPage();
    void drawHeader();
    void drawFooter();
    void drawReviewLine(qreal baseline);
    // A new page unless `height` still fits below (or the page is empty).
    void ensure(qreal height);
    void heading(const QString &text, qreal keepWith);
    void text(const QString &text, const QFont &font);
    void table(const QVector<Column> &columns, int count, const std::function<void(int, QString *)> &cells,
               const std::function<ResultClass(int)> &marker = {});
    void columnHeader(const QVector<Column> &columns);
    void balances();
    void statistics();
    void verdict();
    void chart();
    void rows();
    void closing();

    // `text` cut to `width`, with an ellipsis when it had to be.
    QString fitted(const QString &text, const QFontMetricsF &metrics, qreal width) const;

    const ReportData &m_data;
    const ReportSeal &m_seal;
    QPdfWriter *m_writer;
    QPainter *m_painter = nullptr;
    int m_pageCount = 0;
    int m_page = 0;

    QFont m_body = font(8);
    QFont m_bold = font(8, true);
    QFont m_small = font(7);
    QFont m_heading = font(9.5, true);
    QFont m_title = font(11, true);
    QFont m_review = font(9);
    QFontMetricsF m_bodyMetrics;
    QFontMetricsF m_boldMetrics;
    QFontMetricsF m_smallMetrics;
    QFontMetricsF m_headingMetrics;
    QFontMetricsF m_titleMetrics;
    QFontMetricsF m_reviewMetrics;

    qreal m_left = 0, m_right = 0, m_bodyTop = 0, m_bodyBottom = 0, m_footerTop = 0;
    qreal m_y = 0;
    qreal m_rowHeight = 0;
    QVector<HeaderLine> m_header;
    bool m_severalInstruments = false;
    bool m_positions = false;  // the rows tell where on the pan they were weighed, not their sample
};

Composer::Composer(const ReportData &data, const ReportSeal &seal, QPdfWriter *writer)
    : m_data(data), m_seal(seal), m_writer(writer), m_bodyMetrics(m_body, writer), m_boldMetrics(m_bold, writer),
      m_smallMetrics(m_small, writer), m_headingMetrics(m_heading, writer), m_titleMetrics(m_title, writer),
      m_reviewMetrics(m_review, writer)
{
    const qreal width = writer->width();
    const qreal height = writer->height();
    m_left = kSideMargin;
    m_right = width - kSideMargin;
    m_rowHeight = m_bodyMetrics.height() * 1.3;

    m_header.append({data.lab.trimmed().isEmpty() ? QStringLiteral("Laboratory: %1").arg(kDash) : shown(data.lab),
                     QStringLiteral("Weighing report"), true});
    m_header.append({coverageText(data.coverage), QStringLiteral("Veltrano %1").arg(orDash(data.version))});
    const int named = data.balances.size() > kHeaderBalances ? kHeaderBalances - 1 : data.balances.size();
    for (int i = 0; i < named; ++i)
        m_header.append({balanceText(data.balances[i]), {}});
    if (data.balances.isEmpty())
        m_header.append({QStringLiteral("Balance: %1").arg(kDash), {}});
    else if (named < data.balances.size())
        m_header.append({QStringLiteral("… and %1 more balances, listed on page 1").arg(data.balances.size() - named), {}});
    const QString from = data.from.isValid() ? momentText(data.from) : QStringLiteral("the first row");
    const QString to = data.to.isValid() ? momentText(data.to) : QStringLiteral("the last row");
    m_header.append({QStringLiteral("Period: %1 to %2").arg(from, to),
                     QStringLiteral("Operator: %1").arg(orDash(data.operators.join(QStringLiteral(", "))))});
    m_header.append({QStringLiteral("Report made: %1").arg(orDash(momentText(data.madeAt))), {}});

    qreal y = kTopMargin;
    for (const HeaderLine &line : std::as_const(m_header))
        y += (line.title ? m_titleMetrics : m_bodyMetrics).height() * 1.2;
    m_bodyTop = y + 5 * kMm;

    const qreal footer = 1.5 * kMm + m_reviewMetrics.height() * 2.2 + m_smallMetrics.height() * 1.4;
    m_footerTop = height - kBottomMargin - footer;
    m_bodyBottom = m_footerTop - 3 * kMm;

    QSet<QString> instruments;
    for (const ReportRow &row : data.rows) {
        instruments.insert(row.instrument);
        if (instruments.size() > 1)
            break;
    }
    m_severalInstruments = instruments.size() > 1;
    m_positions = std::any_of(data.rows.begin(), data.rows.end(), [](const ReportRow &row) { return !row.position.isEmpty(); });
}

int Composer::run(QPainter *painter, int pageCount)
{
    m_painter = painter;
    m_pageCount = pageCount;
    m_page = 0;
    beginPage();
    if (m_data.balances.size() > kHeaderBalances)
        balances();
    if (m_data.statistics)
        statistics();
    if (!m_data.balanceChecks.isEmpty()) {
        text(QStringLiteral("Balance checks: %1").arg(m_data.balanceChecks), m_body);
        m_y += 4 * kMm;
    }
    if (m_data.verdict)
        verdict();
    if (!m_data.rows.isEmpty())
        chart();
    rows();
    closing();
    return m_page;
}

void Composer::beginPage()
{
    ++m_page;
    m_y = m_bodyTop;
    if (!m_painter)
        return;
    if (m_page > 1)
        m_writer->newPage();
    drawHeader();
    drawFooter();
}

QString Composer::fitted(const QString &text, const QFontMetricsF &metrics, qreal width) const
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    return metrics.elidedText(text, Qt::ElideRight, width);
}

void Composer::drawHeader()
{
    QPainter &p = *m_painter;
    qreal y = kTopMargin;
    for (const HeaderLine &line : std::as_const(m_header)) {
        const QFontMetricsF &metrics = line.title ? m_titleMetrics : m_bodyMetrics;
        p.setFont(line.title ? m_title : m_body);
        const qreal baseline = y + metrics.ascent();
        qreal room = m_right - m_left;
        if (!line.right.isEmpty()) {
            const QString right = fitted(line.right, metrics, room / 2);
            const qreal width = metrics.horizontalAdvance(right);
            p.drawText(QPointF(m_right - width, baseline), right);
            room -= width + 4 * kMm;
        }
        p.drawText(QPointF(m_left, baseline), fitted(line.left, metrics, room));
        y += metrics.height() * 1.2;
    }
    p.setPen(QPen(Qt::black, 0.3 * kMm));
    p.drawLine(QPointF(m_left, y + 1.5 * kMm), QPointF(m_right, y + 1.5 * kMm));
    p.setPen(QPen(Qt::black));
}

void Composer::drawFooter()
{
    QPainter &p = *m_painter;
    p.setPen(QPen(Qt::black, 0.3 * kMm));
    p.drawLine(QPointF(m_left, m_footerTop), QPointF(m_right, m_footerTop));
    p.setPen(QPen(Qt::black));
    qreal y = m_footerTop + 1.5 * kMm + m_reviewMetrics.height() * 1.2;
    drawReviewLine(y + m_reviewMetrics.ascent());
    y += m_reviewMetrics.height();

    p.setFont(m_small);
    const qreal baseline = y + m_smallMetrics.ascent();
    const QString page = QStringLiteral("Page %1 of %2").arg(m_page).arg(m_pageCount);
    p.setFont(m_body);
    const qreal pageWidth = m_bodyMetrics.horizontalAdvance(page);
    p.drawText(QPointF(m_right - pageWidth, baseline), page);
    p.setFont(m_small);
    const QString head = m_data.chainHead.isEmpty() ? QStringLiteral("Chain head: %1 (the rows have no provenance)").arg(kDash)
                                                    : QStringLiteral("Chain head: %1").arg(m_data.chainHead);
    p.drawText(QPointF(m_left, baseline), fitted(head, m_smallMetrics, m_right - m_left - pageWidth - 4 * kMm));
}

// The reviewer's line over the whole width: each blank is a run of
// underscores drawn wider, so that its text stays what it says.
void Composer::drawReviewLine(qreal baseline)
{
    QPainter &p = *m_painter;
    p.setFont(m_review);
    const QStringList labels = {QStringLiteral("Reviewed by: "), QStringLiteral("  Date: "), QStringLiteral("  Signature: ")};
    qreal labelsWidth = 0;
    for (const QString &label : labels)
        labelsWidth += m_reviewMetrics.horizontalAdvance(label);
    const qreal blank = m_reviewMetrics.horizontalAdvance(kBlank);
    const qreal stretch = std::max<qreal>(1, (m_right - m_left - labelsWidth) / 3 / blank);
    qreal x = m_left;
    for (const QString &label : labels) {
        p.drawText(QPointF(x, baseline), label);
        x += m_reviewMetrics.horizontalAdvance(label);
        p.save();
        p.translate(x, baseline);
        p.scale(stretch, 1);
        p.drawText(QPointF(0, 0), kBlank);
        p.restore();
        x += blank * stretch;
    }
}

void Composer::ensure(qreal height)
{
    if (m_y + height > m_bodyBottom && m_y > m_bodyTop)
        beginPage();
}

void Composer::heading(const QString &text, qreal keepWith)
{
    const qreal height = m_headingMetrics.height() * 1.5;
    ensure(height + keepWith);
    if (m_painter) {
        m_painter->setFont(m_heading);
        m_painter->drawText(QPointF(m_left, m_y + m_headingMetrics.ascent()), text);
    }
    m_y += height;
}

void Composer::text(const QString &text, const QFont &font)
{
    const QFontMetricsF metrics(font, m_writer);
    ensure(metrics.height() * 1.3);
    if (m_painter) {
        m_painter->setFont(font);
        m_painter->drawText(QPointF(m_left, m_y + metrics.ascent()), fitted(text, metrics, m_right - m_left));
    }
    m_y += metrics.height() * 1.3;
}

void Composer::columnHeader(const QVector<Column> &columns)
{
    if (m_painter) {
        QPainter &p = *m_painter;
        p.setFont(m_bold);
        const qreal baseline = m_y + (m_rowHeight - m_boldMetrics.height()) / 2 + m_boldMetrics.ascent();
        qreal x = m_left;
        for (const Column &column : columns) {
            const qreal width = column.share * (m_right - m_left);
            const qreal pad = 1 * kMm;
            const QString title = fitted(column.title, m_boldMetrics, width - 2 * pad);
            const qreal textX = column.right ? x + width - pad - m_boldMetrics.horizontalAdvance(title) : x + pad;
            p.drawText(QPointF(textX, baseline), title);
            x += width;
        }
        p.setPen(QPen(Qt::black, 0.2 * kMm));
        p.drawLine(QPointF(m_left, m_y + m_rowHeight), QPointF(m_right, m_y + m_rowHeight));
        p.setPen(QPen(Qt::black));
    }
    m_y += m_rowHeight + 0.5 * kMm;
}

void Composer::table(const QVector<Column> &columns, int count, const std::function<void(int, QString *)> &cells,
                     const std::function<ResultClass(int)> &marker)
{
    columnHeader(columns);
    QVector<QString> values(columns.size());
    const qreal pad = 1 * kMm;
    const qreal markerRoom = 2.8 * kMm;
    const QColor shade(0xf0, 0xf0, 0xf0);
    for (int i = 0; i < count; ++i) {
        if (m_y + m_rowHeight > m_bodyBottom) {
            beginPage();
            columnHeader(columns);
        }
        if (m_painter) {
            QPainter &p = *m_painter;
            if (i % 2)
                p.fillRect(QRectF(m_left, m_y, m_right - m_left, m_rowHeight), shade);
            cells(i, values.data());
            p.setFont(m_body);
            const qreal baseline = m_y + (m_rowHeight - m_bodyMetrics.height()) / 2 + m_bodyMetrics.ascent();
            qreal x = m_left;
            for (int c = 0; c < columns.size(); ++c) {
                const Column &column = columns[c];
                const qreal width = column.share * (m_right - m_left);
                qreal textX = x + pad;
                qreal room = width - 2 * pad;
                if (column.marker && marker) {
                    const ResultClass resultClass = marker(i);
                    if (resultClass != ResultClass::None)
                        ReportChart::drawMarker(&p, resultClass, QPointF(x + pad + 0.9 * kMm, m_y + m_rowHeight / 2),
                                                1.6 * kMm);
                    textX += markerRoom;
                    room -= markerRoom;
                }
                const QString value = fitted(shown(values[c]), m_bodyMetrics, room);
                if (column.right)
                    textX = x + width - pad - m_bodyMetrics.horizontalAdvance(value);
                p.drawText(QPointF(textX, baseline), value);
                x += width;
            }
        }
        m_y += m_rowHeight;
    }
}

void Composer::balances()
{
    heading(QStringLiteral("Balances (%1)").arg(m_data.balances.size()), m_rowHeight * 2);
    const QVector<Column> columns = {{QStringLiteral("Name"), 0.28},
                                     {QStringLiteral("ID"), 0.16},
                                     {QStringLiteral("Maker"), 0.18},
                                     {QStringLiteral("Model"), 0.19},
                                     {QStringLiteral("Serial"), 0.19}};
    table(columns, m_data.balances.size(), [this](int i, QString *values) {
        const ReportBalance &balance = m_data.balances[i];
        values[0] = orDash(balance.name);
        values[1] = orDash(balance.id);
        values[2] = orDash(balance.maker);
        values[3] = orDash(balance.model);
        values[4] = orDash(balance.serial);
    });
    m_y += 4 * kMm;
}

void Composer::statistics()
{
    const ReportStatistics &s = *m_data.statistics;
    const QVector<std::pair<QString, QString>> groups[3] = {
        {{QStringLiteral("n"), s.n},
         {QStringLiteral("Mean"), s.mean},
         {QStringLiteral("Standard deviation"), s.sd},
         {QStringLiteral("RSD"), s.rsd},
         {QStringLiteral("Minimum"), s.min},
         {QStringLiteral("Maximum"), s.max},
         {QStringLiteral("Range"), s.range}},
        {{QStringLiteral("Nominal"), s.nominal},
         {QStringLiteral("T1 lower limit"), s.t1Lower},
         {QStringLiteral("T1 upper limit"), s.t1Upper},
         {QStringLiteral("T2 lower limit"), s.t2Lower},
         {QStringLiteral("T2 upper limit"), s.t2Upper}},
        {{QStringLiteral("Within"), s.within},
         {QStringLiteral("Warning"), s.warning},
         {QStringLiteral("Outside"), s.outside},
         {QStringLiteral("Below minimum"), s.belowMinimum}},
    };
    const ResultClass classes[] = {ResultClass::Within, ResultClass::Warning, ResultClass::Outside,
                                   ResultClass::BelowMinimum};
    const qreal line = m_bodyMetrics.height() * 1.3;
    heading(QStringLiteral("Statistics and limits"), line * 7);
    if (m_painter) {
        QPainter &p = *m_painter;
        const qreal groupWidth = (m_right - m_left) / 3;
        for (int g = 0; g < 3; ++g) {
            const qreal x = m_left + g * groupWidth;
            const qreal labelWidth = groupWidth * 0.52;
            for (int i = 0; i < groups[g].size(); ++i) {
                const qreal baseline = m_y + i * line + m_bodyMetrics.ascent();
                qreal labelX = x;
                if (g == 2) {
                    ReportChart::drawMarker(&p, classes[i], QPointF(x + 0.9 * kMm, baseline - m_bodyMetrics.ascent() / 3),
                                            1.6 * kMm);
                    labelX += 2.8 * kMm;
                }
                p.setFont(m_body);
                p.drawText(QPointF(labelX, baseline), groups[g][i].first);
                p.setFont(m_bold);
                p.drawText(QPointF(x + labelWidth, baseline),
                           fitted(orDash(groups[g][i].second), m_boldMetrics, groupWidth - labelWidth - 2 * kMm));
            }
        }
    }
    m_y += line * 7 + 4 * kMm;
}

void Composer::verdict()
{
    const ReportVerdict &v = *m_data.verdict;
    const QVector<std::pair<QString, QString>> items = {{QStringLiteral("Test"), v.test},
                                                        {QStringLiteral("Test weight"), v.weight},
                                                        {QStringLiteral("Figures"), v.figures},
                                                        {QStringLiteral("Criterion"), v.criterion},
                                                        {QStringLiteral("Verdict"), v.verdict}};
    const qreal labelWidth = 30 * kMm;
    const qreal valueWidth = m_right - m_left - labelWidth;
    const qreal gap = m_bodyMetrics.height() * 0.3;
    QVector<qreal> heights;
    qreal total = 0;
    for (const auto &item : items) {
        const QFontMetricsF &metrics = item.first == QLatin1String("Verdict") ? m_headingMetrics : m_bodyMetrics;
        const QString value = item.second.trimmed().isEmpty() ? kDash : item.second;
        const qreal height =
            metrics.boundingRect(QRectF(0, 0, valueWidth, 1e9), Qt::TextWordWrap | Qt::AlignLeft, value).height();
        heights.append(std::max(height, metrics.height()) + gap);
        total += heights.last();
    }
    heading(QStringLiteral("Check of the balance"), std::min(total, m_bodyBottom - m_bodyTop) * 0.5);
    ensure(std::min(total, m_bodyBottom - m_bodyTop - m_headingMetrics.height() * 1.5));
    qreal y = m_y;
    if (m_painter) {
        QPainter &p = *m_painter;
        p.save();
        p.setClipRect(QRectF(m_left, m_bodyTop, m_right - m_left, m_bodyBottom - m_bodyTop));
        for (int i = 0; i < items.size(); ++i) {
            const bool isVerdict = i == items.size() - 1;
            p.setFont(m_body);
            p.drawText(QPointF(m_left, y + (isVerdict ? m_headingMetrics : m_bodyMetrics).ascent()), items[i].first);
            p.setFont(isVerdict ? m_heading : m_body);
            const QString value = items[i].second.trimmed().isEmpty() ? kDash : items[i].second;
            p.drawText(QRectF(m_left + labelWidth, y, valueWidth, heights[i]), Qt::TextWordWrap | Qt::AlignLeft, value);
            y += heights[i];
        }
        p.restore();
    }
    m_y = std::min(m_y + total, m_bodyBottom) + 4 * kMm;
}

void Composer::chart()
{
    const ReportChart::Series series = ReportChart::seriesOf(m_data);
    if (!series.why.isEmpty()) {
        heading(QStringLiteral("Chart"), m_bodyMetrics.height() * 1.3);
        text(series.why, m_body);
        m_y += 4 * kMm;
        return;
    }
    const qreal height = std::min(85 * kMm, (m_bodyBottom - m_bodyTop) * 0.6);
    heading(QStringLiteral("Chart of the results"), height);
    if (m_painter)
        ReportChart::draw(m_painter, QRectF(m_left, m_y, m_right - m_left, height), series, m_small, kMm);
    m_y += height + 5 * kMm;
}

void Composer::rows()
{
    heading(QStringLiteral("Rows (%1)").arg(m_data.rows.size()), m_rowHeight * 3);
    if (m_data.rows.isEmpty()) {
        text(QStringLiteral("No rows."), m_body);
        return;
    }
    QVector<Column> columns;
    if (m_severalInstruments) {
        columns = {{QStringLiteral("Row"), 0.08, true},          {QStringLiteral("Balance"), 0.15},
                   {QStringLiteral("Sample ID"), 0.16},          {QStringLiteral("Date and time"), 0.19},
                   {QStringLiteral("Result"), 0.11, true},       {QStringLiteral("Unit"), 0.06},
                   {QStringLiteral("Kind"), 0.07},               {QStringLiteral("Class"), 0.18, false, true}};
    } else {
        columns = {{QStringLiteral("Row"), 0.09, true},          {QStringLiteral("Sample ID"), 0.22},
                   {QStringLiteral("Date and time"), 0.21},      {QStringLiteral("Result"), 0.12, true},
                   {QStringLiteral("Unit"), 0.07},               {QStringLiteral("Kind"), 0.09},
                   {QStringLiteral("Class"), 0.20, false, true}};
    }
    if (m_positions)
        columns[m_severalInstruments ? 2 : 1].title = QStringLiteral("Position");
    const bool instrument = m_severalInstruments;
    table(
        columns, m_data.rows.size(),
        [this, instrument](int i, QString *values) {
            const ReportRow &row = m_data.rows[i];
            *values++ = QString::number(row.key);
            if (instrument)
                *values++ = row.instrument;
            *values++ = m_positions ? row.position : row.sampleId;
            *values++ = row.date + QLatin1Char(' ') + row.time;
            *values++ = row.result;
            *values++ = row.unit;
            *values++ = shownKindText(row.kind);
            *values++ = resultClassText(row.resultClass);
        },
        [this](int i) { return m_data.rows[i].resultClass; });
    m_y += 3 * kMm;
}

void Composer::closing()
{
    ensure(m_boldMetrics.height() * 1.3 + m_smallMetrics.height() * 1.3);
    text(QStringLiteral("End of report: %1 rows.").arg(m_data.rows.size()), m_bold);
    text(QStringLiteral("Seal: SHA-256 of the rows' keys and hashes %1").arg(m_seal.rowsDigest), m_small);
}

} // namespace

ReportWriter::ReportWriter(ReportData data) : m_data(std::move(data)) {}

QString ReportWriter::title() const
{
    QString title = QStringLiteral("Weighing report \u2013 ") + coverageText(m_data.coverage);
    if (!m_data.lab.trimmed().isEmpty())
        title += QStringLiteral(" \u2013 ") + shown(m_data.lab.trimmed());
    return title;
}

QString ReportWriter::write(const QString &path)
{
    m_pages = 0;
    m_seal = makeSeal(m_data);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());

    QPdfWriter pdf(&file);
    pdf.setPageSize(QPageSize(m_paper == PaperSize::Letter ? QPageSize::Letter : QPageSize::A4));
    pdf.setPageOrientation(QPageLayout::Portrait);
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
    pdf.setResolution(kResolution);
    const QString creator = QStringLiteral("Veltrano %1").arg(m_data.version);
    pdf.setTitle(title());
    pdf.setCreator(creator);
    pdf.setDocumentXmpMetadata(sealXmp(m_seal, title(), creator));

    Composer composer(m_data, m_seal, &pdf);
    const int pages = composer.run(nullptr, 0);
    QPainter painter;
    if (!painter.begin(&pdf))
        return QStringLiteral("%1 cannot be written: the PDF cannot be drawn").arg(path);
    composer.run(&painter, pages);
    if (!painter.end() || file.error() != QFileDevice::NoError)
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    if (!file.commit())
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    m_pages = pages;
    return {};
}

} // namespace Veltrano
