#pragma once

#include <QByteArray>
#include <QString>

class QFileDevice;

// Files that must survive a crash or a power cut: written, flushed to the
// disk, and (for whole files) given their name only once they are complete.
namespace Veltrano::DurableFile {

// Flushes Qt's buffer and puts the file's data on the disk (fdatasync on
// Linux, fsync on other Unix systems, _commit on Windows); false, with
// `error` when given, when either step fails.
bool sync(QFileDevice &file, QString *error = nullptr);

// A folder's entries (a rename, a removal) on the disk.
bool syncFolder(const QString &path, QString *error = nullptr);

// The temporary name a file is written under in its own folder before it is
// renamed: hidden and ending in .part, so that readers leave it alone.
QString partName(const QString &name);
bool isPartName(const QString &name);

// Writes `content` as `folder`/`name`: under partName(name) first, synced,
// then renamed, then the folder synced. No reader ever sees half a file, and
// a file of that name is replaced whole or not at all. The reason when it
// failed (the temporary file is removed).
QString writeWhole(const QString &folder, const QString &name, const QByteArray &content);

} // namespace Veltrano::DurableFile
