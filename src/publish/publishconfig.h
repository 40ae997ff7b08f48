#pragma once

#include <QString>

namespace Veltrano {

// Where the results go besides the database, as publish.ini (beside
// settings.ini) asks; the file is optional and so is each of its sections:
//
//   [mqtt]
//   url=mqtt://host:1883        ; or mqtts://host:8883
//   cafile=/path/ca.pem         ; mqtts: the authority the broker's certificate must come from
//   topic=veltrano/HOST/        ; the topics' prefix, default veltrano/<this host's name>/
//   user=collector
//   passwordFile=/path/secret   ; its first line is the password
//   [drop]
//   dir=/path/to/folder         ; must exist: a share that is not mounted shows as missing
//   format=csv                  ; or json
//
// The password is never written in publish.ini, and never printed, traced or
// put into a message: it lives in MqttConfig::password only.
struct MqttConfig
{
    bool enabled = false;
    QString url;       // as written, without any password: what messages name the broker by
    QString host;
    quint16 port = 0;
    bool tls = false;  // mqtts: the broker's certificate and host name are verified
    QString caFile;
    QString topicPrefix;  // ends with '/', or is empty
    QString user;
    QString password;
};

struct DropConfig
{
    enum class Format { Csv, Json };
    bool enabled = false;
    QString dir;  // absolute
    Format format = Format::Csv;
};

struct PublishConfig
{
    static constexpr char kFileName[] = "publish.ini";

    MqttConfig mqtt;
    DropConfig drop;
    QString folder;  // the folder publish.ini is in: the outbox and the spool live there

    // What waits for the broker, and the files that wait for the drop folder.
    QString outboxPath() const;
    QString spoolPath() const;
};

// Reads publish.ini at `path` into `config`. A missing file asks for nothing
// (both parts disabled). Returns an empty text when the file is usable, else
// one line saying what is wrong (never the password); `config` then asks for
// nothing either. Relative paths in the file are taken from its folder.
QString readPublishConfig(const QString &path, PublishConfig *config);

// This host's name as the default topic prefix uses it.
QString defaultTopicPrefix();

} // namespace Veltrano
