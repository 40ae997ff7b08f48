#pragma once

#include "recording/recordingsession.h"
#include "weighing/seriesstats.h"

#include <QMap>
#include <QVector>
#include <QWidget>

#include <memory>

class SeriesChart;

namespace Ui {
class WeighingWindow;
}

// The weighings of the running collection, one instrument at a time: the
// sample ID its next weighing takes (typed, scanned by a barcode scanner that
// types like a keyboard and ends with Enter, numbered by a pattern, or the
// next line of a worklist) and the weighings of its current series as they
// arrive, newest on top, their class in words on a row tinted by it, with
// the series' figures and its chart. Whatever it sets is queued to the collection; the
// collection never waits for it, and a weighing with no sample ID waiting is
// recorded with an empty one.
class WeighingWindow : public QWidget
{
    Q_OBJECT
public:
    explicit WeighingWindow(Veltrano::RecordingSession *session, QWidget *parent = nullptr);
    ~WeighingWindow() override;

    // The weighings of the current series of `instrumentId` kept for the view
    // (the newest kMaxShown).
    static constexpr int kMaxShown = 10000;

    QString currentInstrument() const;
    void selectInstrument(const QString &instrumentId);

public slots:
    // Asks the collection which instruments record weighings.
    void refresh();

private:
    void weighed(const QString &instrumentId, const Veltrano::Row &row);
    void nextSampleChanged(const QString &instrumentId, const Veltrano::NextSample &next);
    void seriesChanged(const QString &instrumentId, const Veltrano::SeriesState &state);
    void showInstrument();
    void showNext();
    void showChecks();
    void setSampleId();
    void setPattern();
    void newSeries();
    void openWorklist();
    void makeReport();
    void insertRow(int at, const Veltrano::Row &row);
    Veltrano::ToleranceLimits limitsOf(const QString &instrumentId) const;
    void showFigures();
    void chart(int number, const Veltrano::Row &row);

    Ui::WeighingWindow *ui;
    Veltrano::RecordingSession *m_session;
    QMap<QString, Veltrano::RecordingSession::WeighingInstrument> m_instruments;
    QMap<QString, QVector<Veltrano::Row>> m_weighings;  // oldest first
    // The current series of each instrument: its figures as the collection
    // told them last (its weighings before this window opened too).
    struct Series
    {
        QString name;
        Veltrano::SeriesStats stats;
        QString unit;     // of its first weighing with a number
        QString nominal;  // the first of its listed weighings was checked against
        int weighings = 0;  // counted on at each listed weighing until told
        int told = 0;       // the count the collection told last
    };
    QMap<QString, Series> m_series;
    std::unique_ptr<SeriesChart> m_chart;
};
