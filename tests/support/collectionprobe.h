#pragma once

// A look into a collection's channels, settings.ini entries, named children
// and diagnostics without their file and line, shared by the window tests.

#include "collect/serialerrors.h"
#include "collect/seriallink.h"
#include "mainwindow.h"
#include "support/inifile.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace Veltrano {

// The channels of an engine, looked at on the engine's own thread: the
// engine of a test directly, the window's through its session.
struct EngineProbe
{
    using Job = std::function<void(CollectionEngine &)>;
    std::function<void(const Job &)> run;

    explicit EngineProbe(CollectionEngine &engine)
        : run([&engine](const Job &job) { job(engine); })
    {
    }
    explicit EngineProbe(const RecordingSession &session)
        : run([&session](const Job &job) { session.onEngine(job); })
    {
    }

    // What `look` says of the channel of `id` (nothing when there is none).
    template<typename T>
    T at(const QString &id, const std::function<T(const InstrumentChannel &)> &look) const
    {
        T value{};
        run([&](CollectionEngine &engine) {
            if (const InstrumentChannel *channel = engine.channel(id))
                value = look(*channel);
        });
        return value;
    }

    QStringList instruments() const
    {
        QStringList ids;
        run([&ids](CollectionEngine &engine) { ids = engine.instruments(); });
        return ids;
    }
    // "baud parity stop-bits flow-control interval" of an open serial port,
    // "closed" when it is not open (with the interval, or "-" without a
    // running timer), "none" without a channel.
    QString portState(const QString &id) const
    {
        const QString state = at<QString>(id, [](const InstrumentChannel &channel) {
            const auto *serial = qobject_cast<const SerialLink *>(channel.link());
            const QString timer = channel.timer().isActive() ? QString::number(channel.timer().interval()) : QStringLiteral("-");
            if (!serial || !serial->isOpen())
                return QStringLiteral("closed ") + timer;
            const QSerialPort &port = serial->port();
            return QStringLiteral("%1 %2 %3 %4 ")
                       .arg(port.baudRate())
                       .arg(port.parity())
                       .arg(port.stopBits())
                       .arg(port.flowControl())
                   + timer;
        });
        return state.isEmpty() ? QStringLiteral("none") : state;
    }
    bool linkOpen(const QString &id) const
    {
        return at<bool>(id, [](const InstrumentChannel &channel) { return channel.link() && channel.link()->isOpen(); });
    }
    int timerInterval(const QString &id) const
    {
        return at<int>(id, [](const InstrumentChannel &channel) {
            return channel.timer().isActive() ? channel.timer().interval() : 0;
        });
    }
    QByteArray buffer(const QString &id) const
    {
        return at<QByteArray>(id, [](const InstrumentChannel &channel) { return channel.unparsed(); });
    }
    // "header|result|unit" of the latest reading, or an empty text.
    QString latest(const QString &id) const
    {
        return at<QString>(id, [](const InstrumentChannel &channel) {
            const InstrumentChannel::Latest &latest = channel.latest();
            return latest.present ? latest.header + '|' + latest.result + '|' + latest.unit : QString();
        });
    }
    // A sampling tick of `id`, now.
    void store(const QString &id) const
    {
        run([&id](CollectionEngine &engine) {
            if (InstrumentChannel *channel = engine.channel(id))
                channel->sample();
        });
    }
    // Bytes as if `id`'s link had read them.
    void feed(const QString &id, const QByteArray &bytes) const
    {
        run([&](CollectionEngine &engine) {
            if (InstrumentChannel *channel = engine.channel(id))
                channel->receive(bytes);
        });
    }
    // A Sartorius print line of `result` (up to 10 characters) and `unit`
    // (3), with `header` (up to 6: the 22-byte layout) or without.
    static QByteArray printLine(const QString &header, const QString &result, const QString &unit)
    {
        QByteArray line = header.isEmpty() ? QByteArray() : header.toUtf8().leftJustified(6, ' ', true);
        line += result.toUtf8().rightJustified(10, ' ', true) + ' ' + unit.toUtf8().leftJustified(3, ' ', true) + "\r\n";
        return line;
    }
};

} // namespace Veltrano

// The same through the main window, which also lets a test wait for its rows.
struct MainWindowProbe : Veltrano::EngineProbe
{
    explicit MainWindowProbe(MainWindow &window)
        : EngineProbe{window.session}
        , window(window)
    {
    }
    MainWindow &window;
    // Every row handed over so far is written (or kept, when refused).
    bool drain()
    {
        // What the engine's thread was asked before (an immediate read) first.
        window.session.onEngine([](Veltrano::CollectionEngine &) {});
        return window.session.storage().drain(30000);
    }
    Veltrano::RecordingSession &session() { return window.session; }
    Veltrano::Storage &storage() { return window.session.storage(); }
};

// A row as a tick takes it now, with a reading of `name`.
inline Veltrano::Row testRow(const QString &name, const QString &header, const QString &result, const QString &unit)
{
    const QDateTime now = QDateTime::currentDateTime();
    Veltrano::Row row(now.date().toString(Qt::ISODate), now.time().toString(Qt::ISODate), name, header, result, unit);
    row.provenance.tickUtc = now.toUTC().toString(Qt::ISODateWithMs);
    row.provenance.state = QLatin1String(Veltrano::Provenance::kLive);
    return row;
}

template<typename T = QWidget>
T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

// Writes settings.ini from "id/key=value" entries ("id/active=..." as a boolean).
inline void writeSettings(const QStringList &entries)
{
    const std::unique_ptr<QSettings> settings = Veltrano::IniFile::open(QStringLiteral("settings.ini"));
    for (const QString &entry : entries) {
        const QString key = entry.section('=', 0, 0), value = entry.section('=', 1);
        settings->setValue(key, key.endsWith(QLatin1String("/active")) ? QVariant(value == "true") : QVariant(value));
    }
}

// settings.ini entries of balance `id` on `port`: named `id`, 8 data bits,
// no parity, one stop bit, 9600 baud, sampled every second; `more` after
// them ("name=..." to name it otherwise).
inline QStringList balanceOn(const QString &id, const QString &port, const QStringList &more = {})
{
    return (QStringList{"name=" + id, "comPort=" + port, "dataBits=8", "parity=none", "stopBits=1",
                        "transmissionRate=9600", "samplingInterval=1"}
            + more)
        .replaceInStrings(QRegularExpression(QStringLiteral("^")), id + QLatin1Char('/'));
}

// The defined first line of each box (a box about an instrument names it
// on a line of its own after it).
inline QStringList firstLines(QStringList texts)
{
    for (QString &text : texts)
        text = text.section(QLatin1Char('\n'), 0, 0);
    return texts;
}

// Diagnostics without the file, line and signature that lead them.
inline QStringList withoutPrefixes(QStringList lines)
{
    return lines.replaceInStrings(QRegularExpression(QStringLiteral("^.*\\b\\w+::\\w+\\([^)]*\\) ")), QString());
}

// A hung-up line reads as a read error or as a resource gone, as the kernel's
// read of it happens to fail; both are the same outage, told by its own text.
inline QStringList hangUpAsReadError(QStringList texts)
{
    using Veltrano::SerialErrors::describe;
    return texts.replaceInStrings(QString::fromLatin1(describe(QSerialPort::ResourceError).text),
                                  QString::fromLatin1(describe(QSerialPort::ReadError).text));
}
