#pragma once

// A look into MainWindow's registry, settings.ini entries, named children and
// diagnostics without their file and line, shared by the window tests.

#include "mainwindow.h"

#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTimer>

struct MainWindowProbe
{
    MainWindow &window;

    QStringList timers() const { return window.samplingTimers.keys(); }
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
    void store(const QString &id) { window.storeData(id); }
    void setLatest(const QString &id, const QString &header, const QString &result, const QString &unit)
    {
        window.latestHeaders.insert(id, header);
        window.latestResults.insert(id, result);
        window.latestUnits.insert(id, unit);
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
        const QString key = entry.section('=', 0, 0), value = entry.section('=', 1);
        settings.setValue(key, key.endsWith(QLatin1String("/active")) ? QVariant(value == "true") : QVariant(value));
    }
}

// Diagnostics without the file, line and signature that lead them.
inline QStringList withoutPrefixes(QStringList lines)
{
    return lines.replaceInStrings(QRegularExpression(QStringLiteral("^.*\\b\\w+::\\w+\\([^)]*\\) ")), QString());
}
