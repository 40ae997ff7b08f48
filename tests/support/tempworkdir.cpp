#include "tempworkdir.h"

#include <QDir>

TempWorkDir::TempWorkDir()
    : m_previous(QDir::currentPath())
    , m_dir(QDir::tempPath() + QStringLiteral("/veltrano-test-XXXXXX"))
{
    if (m_dir.isValid())
        QDir::setCurrent(m_dir.path());
}

TempWorkDir::~TempWorkDir()
{
    QDir::setCurrent(m_previous);
}
