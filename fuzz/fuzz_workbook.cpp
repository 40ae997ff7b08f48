// The workbook writer fed arbitrary texts. Beyond "no crash and no sanitizer
// finding" it checks that the table of distinct texts gives every text back
// as added (cut to the longest a cell holds, never inside a surrogate pair)
// and that the file is a whole Compound File. Reading the cells back with an
// independent reader is done on this corpus by tst_xlsworkbook.
#include "workbookinput.h"
#include "export/xlsworkbook.h"

#include <QBuffer>
#include <QHash>

#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QStringList> rows =
        Veltrano::FuzzInput::rows(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));

    Veltrano::SharedStrings strings;
    QHash<QString, quint32> seen;
    for (const QStringList &row : rows) {
        for (const QString &text : row) {
            const quint32 index = strings.add(text);
            const QString kept = Veltrano::FuzzInput::keptText(text, Veltrano::SharedStrings::kMaxLength);
            require(strings.at(index) == kept, "a text comes back as added");
            require(seen.value(kept, index) == index, "equal texts share one index");
            seen.insert(kept, index);
        }
    }
    require(strings.count() == quint32(seen.size()), "one index per distinct text");

    Veltrano::XlsWorkbook book(QStringLiteral("data"), rows.value(0));
    for (int i = 1; i < rows.size(); ++i)
        book.appendRow(rows.at(i));
    QBuffer file;
    file.open(QIODevice::ReadWrite);
    require(book.write(&file), "the workbook is written");
    const QByteArray bytes = file.data();
    require(bytes.startsWith(QByteArray::fromHex("d0cf11e0a1b11ae1")), "a Compound File signature");
    require(bytes.size() % 512 == 0, "whole sectors");
    return 0;
}
