#include "tempworkdir.h"

#include <QDir>

TempWorkDir::TempWorkDir()
    : m_previous(QDir::currentPath())
    , m_dir(QDir::tempPath() + QStringLiteral("/veltrano-test-XXXXXX"))
{
    if (m_dir.isValid())
        QDir::setCurrent(m_dir.path());
}

TempWorkDir::~TempWorkDir() { QDir::setCurrent(m_previous); }

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &name, const QByteArray &content)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}
