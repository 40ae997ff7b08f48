#include "xlsreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace {

// Debian's own Python, where python3-xlrd is installed.
const char kPython[] = "/usr/bin/python3";

QJsonObject runReader(const QStringList &arguments, QStringList *problems)
{
    const QString script = qEnvironmentVariable("VELTRANO_SOURCE_DIR") + QStringLiteral("/tests/xlsread.py");
    QProcess process;
    process.start(QString::fromLatin1(kPython), QStringList{script} + arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *problems << QStringLiteral("xlsread.py failed: ") + QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    QJsonParseError error;
    const QJsonObject result = QJsonDocument::fromJson(process.readAllStandardOutput(), &error).object();
    if (error.error != QJsonParseError::NoError)
        *problems << QStringLiteral("xlsread.py output: ") + error.errorString();
    for (const QJsonValue &problem : result.value(QStringLiteral("problems")).toArray())
        *problems << problem.toString();
    return result;
}

} // namespace

XlsContent readXls(const QString &path, XlsReader reader)
{
    XlsContent content;
    QStringList arguments{path};
    if (reader == XlsReader::LibreOffice)
        arguments.prepend(QStringLiteral("--libreoffice"));
    else if (reader == XlsReader::Ssconvert)
        arguments.prepend(QStringLiteral("--ssconvert"));
    const QJsonObject result = runReader(arguments, &content.problems);
    content.readerAbsent = result.value(QStringLiteral("absent")).toBool();
    for (const QJsonValue &sheet : result.value(QStringLiteral("sheets")).toArray()) {
        content.sheetNames << sheet[QStringLiteral("name")].toString();
        QList<QStringList> rows;
        for (const QJsonValue &row : sheet[QStringLiteral("rows")].toArray()) {
            QStringList cells;
            for (const QJsonValue &cell : row.toArray())
                cells << cell.toString();
            rows << cells;
        }
        content.sheets << rows;
    }
    return content;
}

XlsStream readXlsStream(const QString &path)
{
    XlsStream stream;
    const QJsonObject result = runReader({QStringLiteral("--stream"), path}, &stream.problems);
    stream.size = result.value(QStringLiteral("size")).toVariant().toLongLong();
    stream.sha256 = result.value(QStringLiteral("sha256")).toString().toLatin1();
    return stream;
}
