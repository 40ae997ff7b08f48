#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSettings;

// settings.ini and database.ini are typed by hand as often as they are written
// by the program, and both Qt 5 and Qt 6 builds read and write them. Every
// place that opens one goes through here, so that all of them agree on the
// encoding.
//
// The files are UTF-8. Qt 6 reads and writes INI files only as UTF-8; Qt 5
// reads them as Latin-1 unless told otherwise, so it is given a UTF-8 codec.
// Either build then writes non-ASCII text as plain UTF-8, byte for byte the
// same, and reads what the other wrote; the \x escapes an older Qt 5 build
// wrote are read by both.
//
// Before Qt reads a file, two things are put right in the file itself, once:
// - A file that is not valid UTF-8 was typed in a Latin-1 editor (or by an
//   older program). Reading it as UTF-8 would turn every accented letter into
//   a replacement character, so it is read as Latin-1 and stored as UTF-8.
// - Qt 5 reads section names and keys as Latin-1 whatever the codec, Qt 6 as
//   UTF-8. Non-ASCII characters typed into them are stored as the %XX or
//   %UXXXX escapes both builds write and read there, so an instrument id
//   like "Waage-Süd" means the same to both.
// A leading byte-order mark is dropped as well: Qt 5 would take it as a
// reason to use its own UTF-8 codec. Everything else, comments and order
// included, is left as it was. A file that cannot be written is read as it
// is, and so is one that is no text (NUL or other control characters: UTF-16,
// binary garbage).
namespace Veltrano::IniFile {

// The file as a QSettings in INI format, set up as described above.
std::unique_ptr<QSettings> open(const QString &path);

// The file content as open() leaves it: UTF-8 without a byte-order mark,
// section names and keys escaped. Text that needs nothing is returned as it is.
QByteArray normalized(const QByteArray &content);

} // namespace Veltrano::IniFile
