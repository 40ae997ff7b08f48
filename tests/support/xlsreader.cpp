#include "xlsreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

static QJsonObject runReader(const QStringList &arguments, QStringList *problems)
{
    const QString script = qEnvironmentVariable("VELTRANO_SOURCE_DIR") + QStringLiteral("/tests/xlsread.py");
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"), QStringList{script} + arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *problems << QStringLiteral("xlsread.py failed: ") + QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    const QJsonObject result = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    for (const QJsonValue &problem : result.value(QStringLiteral("problems")).toArray())
        *problems << problem.toString();
    return result;
}

XlsContent readXls(const QString &path)
{
    XlsContent content;
    const QJsonObject result = runReader({path}, &content.problems);
    for (const QJsonValue &sheet : result.value(QStringLiteral("sheets")).toArray()) {
        content.sheetNames << sheet[QStringLiteral("name")].toString();
        QList<QStringList> rows;
        for (const QJsonValue &row : sheet[QStringLiteral("rows")].toArray())
            rows << row.toVariant().toStringList();
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
