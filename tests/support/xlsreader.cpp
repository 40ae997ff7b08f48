#include "xlsreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

static QJsonObject runReader(const QStringList &arguments, QStringList *problems)
{
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{qEnvironmentVariable("VELTRANO_SOURCE_DIR") + QStringLiteral("/tests/xlsread.py")} + arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *problems << QStringLiteral("xlsread.py failed: ") + QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    const QJsonObject result = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    *problems << result.value(QStringLiteral("problems")).toVariant().toStringList();
    return result;
}

XlsContent readXls(const QString &path)
{
    XlsContent content;
    for (const QJsonValue &sheet : runReader({path}, &content.problems).value(QStringLiteral("sheets")).toArray()) {
        content.sheetNames << sheet[QStringLiteral("name")].toString();
        QList<QStringList> rows;
        for (const QJsonValue &row : sheet[QStringLiteral("rows")].toArray())
            rows << row.toVariant().toStringList();
        content.sheets << rows;
    }
    return content;
}
