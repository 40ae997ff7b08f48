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
