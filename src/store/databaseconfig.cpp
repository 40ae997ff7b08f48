#include "store/databaseconfig.h"

#include "store/measurementdb.h"
#include "store/sqlbackend.h"
#include "support/inifile.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>
#include <QUrlQuery>

namespace Veltrano::DatabaseConfig {

namespace {

// A key=value value as libpq reads it: quoted with escapes when needed.
QString quoted(QString value)
{
    return QLatin1Char('\'') + value.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"))
           + QLatin1Char('\'');
}

bool isUri(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

} // namespace

bool isServerUri(const QString &text)
{
    static const QRegularExpression keyValue(QStringLiteral("^\\s*[a-z_]+\\s*="));
    return isUri(text) || keyValue.match(text).hasMatch();
}

QMap<QString, QString> parameters(const QString &uri)
{
    QMap<QString, QString> result;
    if (isUri(uri)) {
        const QUrl url(uri);
        auto set = [&result](const char *key, const QString &value) {
            if (!value.isEmpty())
                result.insert(QLatin1String(key), value);
        };
        set("user", url.userName(QUrl::FullyDecoded));
        set("password", url.password(QUrl::FullyDecoded));
        set("host", url.host(QUrl::FullyDecoded));
        set("port", url.port() > 0 ? QString::number(url.port()) : QString());
        set("dbname", url.path(QUrl::FullyDecoded).mid(1));
        for (const auto &item : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
            result.insert(item.first, item.second);
        return result;
    }
    // key = value pairs; a value in single quotes may hold blanks, \' and \\.
    int i = 0;
    auto skipBlanks = [&]() {
        while (i < uri.size() && uri.at(i).isSpace())
            ++i;
    };
    while (skipBlanks(), i < uri.size()) {
        const int equals = uri.indexOf(QLatin1Char('='), i);
        if (equals < 0)
            break;
        const QString key = uri.mid(i, equals - i).trimmed();
        i = equals + 1;
        skipBlanks();
        QString value;
        if (i < uri.size() && uri.at(i) == QLatin1Char('\'')) {
            for (++i; i < uri.size() && uri.at(i) != QLatin1Char('\''); ++i) {
                if (uri.at(i) == QLatin1Char('\\') && i + 1 < uri.size())
                    ++i;
                value += uri.at(i);
            }
            ++i;
        } else {
            while (i < uri.size() && !uri.at(i).isSpace())
                value += uri.at(i++);
        }
        result.insert(key, value);
    }
    return result;
}

QCommandLineOption commandLineOption(const QString &use, const QString &defaultPlace)
{
    return QCommandLineOption(QString::fromLatin1(kOption).mid(2),
                              QStringLiteral("The database to %1: a file (default: %2), or a PostgreSQL server's "
                                             "connection URI (postgresql://user@host/database).")
                                  .arg(use, defaultPlace),
                              QStringLiteral("FILE|URI"));
}

QString chosenUri(const QStringList &arguments)
{
    // Read as the programs' own parsers read it; other options are theirs.
    // Without arguments (the collector reads its own) there is nothing to parse.
    if (!arguments.isEmpty()) {
        QCommandLineParser parser;
        const QCommandLineOption option = commandLineOption(QString(), QString());
        parser.addOption(option);
        parser.parse(arguments);
        if (parser.isSet(option))
            return parser.value(option);
    }
    const std::unique_ptr<QSettings> file = IniFile::open(QString::fromLatin1(kFileName));
    return file->value(QLatin1String(kUriKey)).toString().trimmed();
}

QSqlDatabase addDatabase(const QString &uri, const QString &connectionName)
{
    if (!isServerUri(uri)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(SqlBackend::kFileDriver), connectionName);
        db.setDatabaseName(uri.isEmpty() ? QString::fromLatin1(MeasurementDb::kFileName) : uri);
        // A locked file is given up on quickly: the store keeps the rows it
        // refuses, so a long wait would only freeze the window.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(MeasurementDb::kBusyTimeoutMs));
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(SqlBackend::kServerDriver), connectionName);
    QMap<QString, QString> values = parameters(uri);
    db.setHostName(values.take(QStringLiteral("host")));
    db.setDatabaseName(values.take(QStringLiteral("dbname")));
    db.setUserName(values.take(QStringLiteral("user")));
    db.setPassword(values.take(QStringLiteral("password")));
    bool portOk = false;
    const int port = values.take(QStringLiteral("port")).toInt(&portOk);
    if (portOk)
        db.setPort(port);
    // The limits, unless the URI sets its own.
    auto setDefault = [&values](const char *key, const QString &value) {
        if (!values.contains(QLatin1String(key)))
            values.insert(QLatin1String(key), value);
    };
    setDefault("connect_timeout", QString::number(kConnectTimeoutSeconds));
    setDefault("tcp_user_timeout", QString::number(kNetworkTimeoutMs));
    setDefault("keepalives_idle", QString::number(kNetworkTimeoutMs / 1000));
    setDefault("keepalives_interval", QStringLiteral("1"));
    setDefault("keepalives_count", QStringLiteral("3"));
    setDefault("application_name", QStringLiteral("veltrano"));
    setDefault("options", QStringLiteral("-c lock_timeout=%1 -c client_min_messages=warning").arg(kLockTimeoutMs));
    // The driver turns every ';' of the options into a blank.
    QStringList options;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        options << it.key() + QLatin1Char('=') + quoted(it.value());
    db.setConnectOptions(options.join(QLatin1Char(';')));
    return db;
}

QString pendingFileName(const QSqlDatabase &db)
{
    if (!SqlBackend::isServer(db))
        return db.databaseName().isEmpty() ? QString::fromLatin1(MeasurementDb::kPendingFileName)
                                           : db.databaseName() + QLatin1String(".pending");
    const QByteArray where = QStringLiteral("%1:%2/%3").arg(db.hostName()).arg(db.port()).arg(db.databaseName()).toUtf8();
    return QLatin1String("server-") + QString::fromLatin1(QCryptographicHash::hash(where, QCryptographicHash::Sha1).toHex().left(8))
           + QLatin1String(".pending");
}

QStringList secretWarnings(const QString &uri, const QStringList &arguments)
{
    QStringList warnings;
    const QString password = parameters(uri).value(QStringLiteral("password"));
    if (!password.isEmpty() && arguments.join(QLatin1Char(' ')).contains(password))
        warnings << QStringLiteral("the database's password is on the command line, where every user of this computer "
                                   "can read it: put it in ~/.pgpass instead");
    const QFileInfo ini(QString::fromLatin1(kFileName));
    if (ini.isFile() && (ini.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))) {
        const std::unique_ptr<QSettings> file = IniFile::open(ini.filePath());
        const QString stored = file->value(QLatin1String(kUriKey)).toString();
        if (!parameters(stored).value(QStringLiteral("password")).isEmpty())
            warnings << QStringLiteral("%1 holds a password and other users may read it: put the password in "
                                       "~/.pgpass, or make the file readable by its owner only (chmod 600)")
                            .arg(ini.absoluteFilePath());
    }
    return warnings;
}

QString serverName(const QString &uri)
{
    const QMap<QString, QString> values = parameters(uri);
    // libpq's defaults where the URI leaves them out.
    QString host = values.value(QStringLiteral("host"), values.value(QStringLiteral("hostaddr")));
    if (host.isEmpty())
        host = QStringLiteral("localhost");
    if (values.contains(QStringLiteral("port")))
        host += QLatin1Char(':') + values.value(QStringLiteral("port"));
    const QString database = values.value(QStringLiteral("dbname"), QStringLiteral("(the user's own)"));
    return QStringLiteral("server %1, database %2").arg(host, database);
}

QString displayName(const QString &uri)
{
    if (uri.isEmpty())
        return QString::fromLatin1(MeasurementDb::kFileName);
    return isServerUri(uri) ? serverName(uri) : uri;
}

} // namespace Veltrano::DatabaseConfig
