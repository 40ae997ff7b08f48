#pragma once

// A look into MainWindow's registry, settings.ini entries, named children and
// diagnostics without their file and line, shared by the window tests.

#include "mainwindow.h"
#include "support/inifile.h"

#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTimer>

namespace Veltrano {

// A look into the engine's collection registry.
struct EngineProbe
{
    CollectionEngine &engine;

    QStringList timers() const { return engine.samplingTimers.keys(); }
    QSerialPort *port(const QString &id) const { return engine.serialPorts.value(id); }
    QTimer *timer(const QString &id) const { return engine.samplingTimers.value(id); }
    QByteArray buffer(const QString &id) const
    {
        const QByteArray *bytes = engine.receiveBuffers.value(id);
        return bytes ? *bytes : QByteArray();
    }
    // "header|result|unit" of the latest reading, or an empty text.
    QString latest(const QString &id) const
    {
        if (!engine.latestResults.contains(id))
            return QString();
        return engine.latestHeaders.value(id) + '|' + engine.latestResults.value(id) + '|' + engine.latestUnits.value(id);
    }
    void store(const QString &id) { engine.storeData(id); }
    void setLatest(const QString &id, const QString &header, const QString &result, const QString &unit)
    {
        engine.latestHeaders.insert(id, header);
        engine.latestResults.insert(id, result);
        engine.latestUnits.insert(id, unit);
    }
};

} // namespace Veltrano

// The same through the main window, which also lets a test wait for its rows.
struct MainWindowProbe : Veltrano::EngineProbe
{
    explicit MainWindowProbe(MainWindow &window)
        : EngineProbe{window.engine}
        , window(window)
    {
    }
    MainWindow &window;
    // Every row handed over so far is written (or kept, when refused).
    bool drain() { return window.storage.drain(30000); }
    Veltrano::Storage &storage() { return window.storage; }
};

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

// Diagnostics without the file, line and signature that lead them.
inline QStringList withoutPrefixes(QStringList lines)
{
    return lines.replaceInStrings(QRegularExpression(QStringLiteral("^.*\\b\\w+::\\w+\\([^)]*\\) ")), QString());
}
