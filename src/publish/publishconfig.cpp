#include "publish/publishconfig.h"

#include "publish/messages.h"
#include "support/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>

namespace Veltrano {

namespace {

const QStringList kMqttKeys{"url", "cafile", "topic", "user", "passwordFile"};
const QStringList kDropKeys{"dir", "format"};

// A value as typed: QSettings splits unquoted commas into a list.
QString text(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    return value.toStringList().join(QLatin1Char(',')).trimmed();
}

QString absolute(const QString &folder, const QString &path)
{
    return QDir::cleanPath(QDir(folder).absoluteFilePath(path));
}

QString unknownKey(QSettings &settings, const QString &group, const QStringList &known)
{
    settings.beginGroup(group);
    const QStringList keys = settings.childKeys();
    settings.endGroup();
    for (const QString &key : keys) {
        if (!known.contains(key))
            return QStringLiteral("publish.ini [%1]: unknown key %2 (known: %3)").arg(group, key, known.join(QLatin1String(", ")));
    }
    return QString();
}

QString readMqtt(QSettings &settings, const QString &folder, MqttConfig *mqtt)
{
    if (settings.contains(QStringLiteral("mqtt/password")))
        return QStringLiteral("publish.ini [mqtt]: the password must not be written here; put it in a file "
                              "only the collector may read and name that file with passwordFile=");
    if (QString error = unknownKey(settings, QStringLiteral("mqtt"), kMqttKeys); !error.isEmpty())
        return error;
    const QString url = text(settings, QStringLiteral("mqtt/url"));
    if (url.isEmpty())
        return QStringLiteral("publish.ini [mqtt]: url= is missing (mqtt://host:1883 or mqtts://host:8883)");
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")))
        return QStringLiteral("publish.ini [mqtt]: url=%1 is not mqtt://host:port or mqtts://host:port")
            .arg(parsed.isValid() ? parsed.toString(QUrl::RemoveUserInfo) : QStringLiteral("(unreadable)"));
    if (!parsed.password().isEmpty())
        return QStringLiteral("publish.ini [mqtt]: url= must not carry a password; name a file with passwordFile=");
    if (parsed.host().isEmpty())
        return QStringLiteral("publish.ini [mqtt]: url=%1 names no host").arg(url);
    if ((!parsed.path().isEmpty() && parsed.path() != QLatin1String("/")) || parsed.hasQuery() || parsed.hasFragment())
        return QStringLiteral("publish.ini [mqtt]: url=%1 must be only scheme, host and port").arg(url);
    mqtt->tls = scheme == QLatin1String("mqtts");
    const int port = parsed.port(mqtt->tls ? 8883 : 1883);
    if (port <= 0 || port > 65535)
        return QStringLiteral("publish.ini [mqtt]: url=%1 has no valid port").arg(url);
    mqtt->url = parsed.toString(QUrl::RemoveUserInfo);
    mqtt->host = parsed.host();
    mqtt->port = quint16(port);
    mqtt->user = parsed.userName().isEmpty() ? text(settings, QStringLiteral("mqtt/user")) : parsed.userName();

    const QString caFile = text(settings, QStringLiteral("mqtt/cafile"));
    if (mqtt->tls) {
        if (caFile.isEmpty())
            return QStringLiteral("publish.ini [mqtt]: mqtts needs cafile=, the certificate of the authority "
                                  "that signed the broker's certificate");
        mqtt->caFile = absolute(folder, caFile);
        QFile ca(mqtt->caFile);
        if (!ca.open(QIODevice::ReadOnly))
            return QStringLiteral("publish.ini [mqtt]: cafile %1 cannot be read: %2").arg(mqtt->caFile, ca.errorString());
    } else if (!caFile.isEmpty()) {
        return QStringLiteral("publish.ini [mqtt]: cafile= is given but url=%1 is not mqtts://: "
                              "the messages would go unencrypted").arg(mqtt->url);
    }

    const QString passwordFile = text(settings, QStringLiteral("mqtt/passwordFile"));
    if (!passwordFile.isEmpty()) {
        if (mqtt->user.isEmpty())
            return QStringLiteral("publish.ini [mqtt]: passwordFile= needs user=");
        QFile secret(absolute(folder, passwordFile));
        if (!secret.open(QIODevice::ReadOnly))
            return QStringLiteral("publish.ini [mqtt]: passwordFile %1 cannot be read: %2")
                .arg(secret.fileName(), secret.errorString());
        QByteArray line = secret.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return QStringLiteral("publish.ini [mqtt]: passwordFile %1 holds no password on its first line")
                .arg(secret.fileName());
        mqtt->password = QString::fromUtf8(line);
    }

    const QString topicKey = QStringLiteral("mqtt/topic");
    QString prefix = settings.contains(topicKey) ? text(settings, topicKey) : defaultTopicPrefix();
    if (prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#')) || prefix.contains(QChar()))
        return QStringLiteral("publish.ini [mqtt]: topic=%1 must not hold + or #").arg(prefix);
    if (prefix.startsWith(QLatin1Char('$')))
        return QStringLiteral("publish.ini [mqtt]: topic=%1 must not begin with $ (the broker's own topics)").arg(prefix);
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    mqtt->topicPrefix = prefix;
    mqtt->enabled = true;
    return QString();
}

QString readDrop(QSettings &settings, const QString &folder, DropConfig *drop)
{
    if (QString error = unknownKey(settings, QStringLiteral("drop"), kDropKeys); !error.isEmpty())
        return error;
    const QString dir = text(settings, QStringLiteral("drop/dir"));
    if (dir.isEmpty())
        return QStringLiteral("publish.ini [drop]: dir= is missing");
    drop->dir = absolute(folder, dir);
    const QString format = text(settings, QStringLiteral("drop/format")).toLower();
    if (format.isEmpty() || format == QLatin1String("csv"))
        drop->format = DropConfig::Format::Csv;
    else if (format == QLatin1String("json"))
        drop->format = DropConfig::Format::Json;
    else
        return QStringLiteral("publish.ini [drop]: format=%1 is neither csv nor json").arg(format);
    drop->enabled = true;
    return QString();
}

} // namespace

QString PublishConfig::outboxPath() const { return QDir(folder).filePath(QStringLiteral("publish-outbox")); }

QString PublishConfig::spoolPath() const { return QDir(folder).filePath(QStringLiteral("publish-spool")); }

QString defaultTopicPrefix()
{
    return QStringLiteral("veltrano/") + topicLevel(QSysInfo::machineHostName()) + QLatin1Char('/');
}

QString readPublishConfig(const QString &path, PublishConfig *config)
{
    *config = PublishConfig();
    const QFileInfo info(path);
    config->folder = info.absolutePath();
    if (!info.exists())
        return QString();
    if (!info.isReadable())
        return QStringLiteral("%1 cannot be read").arg(path);
    const std::unique_ptr<QSettings> settings = IniFile::open(path);
    if (settings->status() != QSettings::NoError)
        return QStringLiteral("%1 is not a readable INI file").arg(path);
    for (const QString &group : settings->childGroups()) {
        if (group != QLatin1String("mqtt") && group != QLatin1String("drop"))
            return QStringLiteral("publish.ini: unknown section [%1] (known: [mqtt], [drop])").arg(group);
    }
    if (!settings->childKeys().isEmpty())
        return QStringLiteral("publish.ini: %1= stands outside [mqtt] and [drop]").arg(settings->childKeys().first());
    const QStringList groups = settings->childGroups();
    QString error;
    if (groups.contains(QLatin1String("mqtt")))
        error = readMqtt(*settings, config->folder, &config->mqtt);
    if (error.isEmpty() && groups.contains(QLatin1String("drop")))
        error = readDrop(*settings, config->folder, &config->drop);
    if (!error.isEmpty()) {
        const QString folder = config->folder;
        *config = PublishConfig();
        config->folder = folder;
    }
    return error;
}

} // namespace Veltrano
