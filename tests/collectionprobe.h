#pragma once

// Shared by the collection tests: a look into the window's registry, writing
// settings.ini, and reading diagnostics without their file and line.

#include "mainwindow.h"

#include <QAction>
#include <QPushButton>
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
        if (!window.latestHeaders.contains(id) && !window.latestResults.contains(id) && !window.latestUnits.contains(id))
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
        auto on = [this](const char *name) {
            QObject *control = window.findChild<QObject *>(QLatin1String(name));
            return control && control->property("enabled").toBool() ? QStringLiteral("1") : QStringLiteral("0");
        };
        return QStringList({on("uStart"), on("uStop"), on("uRead"), on("actionSettings")}).join(' ');
    }
};

// Writes settings.ini from "id/key=value" entries ("id/active=false" is
// written as the boolean the dialog writes).
inline void writeSettings(const QStringList &entries)
{
    QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    for (const QString &entry : entries) {
        const int equals = entry.indexOf('=');
        const QString key = entry.left(equals);
        const QString value = entry.mid(equals + 1);
        if (key.endsWith(QLatin1String("/active")))
            settings.setValue(key, value == QLatin1String("true"));
        else
            settings.setValue(key, value);
    }
}

// A diagnostic without its file, line and signature prefix, led by the
// function's name: "startToCollect: cannot set data bits".
inline QString withoutPrefix(const QString &line)
{
    const int cls = line.indexOf(QLatin1String("MainWindow::"));
    if (cls < 0)
        return line;
    const int open = line.indexOf('(', cls);
    const int close = line.indexOf(')', cls);
    const QString function = line.mid(cls + 12, open - cls - 12);
    const QString rest = line.mid(close + 1).trimmed();
    return rest.isEmpty() ? function : function + ": " + rest;
}

inline QStringList withoutPrefixes(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines)
        result << withoutPrefix(line);
    return result;
}

// The diagnostic lines of the given kind ("Debug: ", "Critical: ") without prefixes.
inline QStringList messages(const QList<QByteArray> &lines, const char *kind)
{
    QStringList result;
    for (const QByteArray &line : lines) {
        if (line.startsWith(kind))
            result << withoutPrefix(QString::fromUtf8(line.mid(int(qstrlen(kind)))));
    }
    return result;
}
