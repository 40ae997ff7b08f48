#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What an independent reader (tests/xlsread.py) found in an .xls file.
struct XlsContent
{
    bool readerAbsent = false;       // the reader is not installed here
    QStringList sheetNames;
    QList<QList<QStringList>> sheets;  // rows of cells, per sheet
    QStringList problems;            // reader warnings and broken format rules
};

// xlrd always; LibreOffice and Gnumeric's ssconvert only where installed.
enum class XlsReader { Xlrd, LibreOffice, Ssconvert };

XlsContent readXls(const QString &path, XlsReader reader = XlsReader::Xlrd);

// The Workbook stream of a Compound File as the container readers see it.
struct XlsStream
{
    qint64 size = -1;
    QByteArray sha256;  // hex
    QStringList problems;
};

XlsStream readXlsStream(const QString &path);
