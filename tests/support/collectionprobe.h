#pragma once

// A look into MainWindow's registry, settings.ini entries, named children and
// diagnostics without their file and line, shared by the window tests.

#include "mainwindow.h"

#include <QSettings>
#include <QStringList>
#include <QTimer>

struct MainWindowProbe
{
    MainWindow &window;

    QStringList ports() const { return window.serialPorts.keys(); }
    QStringList timers() const { return window.samplingTimers.keys(); }
    QStringList buffers() const { return window.receiveBuffers.keys(); }
    QSerialPort *port(const QString &id) const { return window.serialPorts.value(id); }
    QTimer *timer(const QString &id) const { return window.samplingTimers.value(id); }
    QByteArray buffer(const QString &id) const
    {
        const QByteArray *bytes = window.receiveBuffers.value(id);
        return bytes ? *bytes : QByteArray();
    }
    // "header|result|unit" of the latest reading, or an empty text.
    QString latest(const QString &id) const
    {
        if (!window.latestResults.contains(id))
            return QString();
        return window.latestHeaders.value(id) + '|' + window.latestResults.value(id) + '|' + window.latestUnits.value(id);
    }
    int latestCount() const
    {
        return window.latestHeaders.size() + window.latestResults.size() + window.latestUnits.size();
    }
    void store(const QString &id) { window.storeData(id); }
    void setLatest(const QString &id, const QString &header, const QString &result, const QString &unit)
    {
        window.latestHeaders.insert(id, header);
        window.latestResults.insert(id, result);
        window.latestUnits.insert(id, unit);
    }
    // "start stop read settings" as enabled (1) or not (0), e.g. "0 1 1 0".
    QString controls() const
    {
        QStringList on;
        for (const char *name : {"uStart", "uStop", "uRead", "actionSettings"}) {
            QObject *control = window.findChild<QObject *>(QLatin1String(name));
            on << QString::number(control && control->property("enabled").toBool());
        }
        return on.join(' ');
    }
};

template<typename T = QWidget>
T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

// Writes settings.ini from "id/key=value" entries ("id/active=..." as a boolean).
inline void writeSettings(const QStringList &entries)
{
    QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    for (const QString &entry : entries) {
        const QString key = entry.section('=', 0, 0);
        const QString value = entry.section('=', 1);
        if (key.endsWith(QLatin1String("/active")))
            settings.setValue(key, value == QLatin1String("true"));
        else
            settings.setValue(key, value);
    }
}

// A diagnostic without its file, line and signature, led by the function's
// name: "startToCollect: cannot set data bits".
inline QString withoutPrefix(const QString &line)
{
    const int cls = line.indexOf(QLatin1String("MainWindow::"));
    if (cls < 0)
        return line;
    const QString function = line.mid(cls + 12, line.indexOf('(', cls) - cls - 12);
    const QString rest = line.mid(line.indexOf(')', cls) + 1).trimmed();
    return rest.isEmpty() ? function : function + ": " + rest;
}

inline QStringList withoutPrefixes(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines)
        result << withoutPrefix(line);
    return result;
}

// The diagnostic lines of one kind ("Debug: ", "Critical: ") without prefixes.
inline QStringList messages(const QList<QByteArray> &lines, const char *kind)
{
    QStringList result;
    for (const QByteArray &line : lines) {
        if (line.startsWith(kind))
            result << withoutPrefix(QString::fromUtf8(line.mid(int(qstrlen(kind)))));
    }
    return result;
}
