#pragma once

#include <QTemporaryDir>

// Makes a fresh, empty directory the current one for its lifetime: the
// program keeps sqlite.db and settings.ini relative to the working directory.
class TempWorkDir
{
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir &) = delete;
    TempWorkDir &operator=(const TempWorkDir &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// A whole file's bytes (empty when unreadable), and writing them.
QByteArray readFile(const QString &name);
bool writeFile(const QString &name, const QByteArray &content);
