#pragma once

#include <QStringList>

// What an independent reader (tests/xlsread.py, on xlrd) found in an .xls file.
struct XlsContent
{
    QStringList sheetNames;
    QList<QList<QStringList>> sheets;  // rows of cells, per sheet
    QStringList problems;              // reader warnings and broken format rules
};

XlsContent readXls(const QString &path);

// The Workbook stream of a Compound File as the container readers see it.
struct XlsStream
{
    qint64 size = -1;
    QByteArray sha256;  // hex
    QStringList problems;
};

XlsStream readXlsStream(const QString &path);
