#pragma once

#include "report/reportdata.h"
#include "report/reportseal.h"
#include "report/reportsettings.h"

#include <QString>

// A weighing report as a PDF, portrait, made with Qt's own PDF writer:
//
//   every page   a header (lab, balances, Veltrano's version, the period,
//                the operators, when the report was made) and a footer
//                (the line for the reviewer's signature, the chain head the
//                rows were read under, "Page N of M")
//   then         the series' statistics and limits, a check's verdict, the
//                chart of the results, the rows as a table over as many
//                pages as they take, and the end of the report
//
// The text is DejaVu Sans, embedded, so that it can be copied and searched;
// the seal (see ReportSeal) goes into the file's XMP metadata.
namespace Veltrano {

class ReportWriter
{
public:
    explicit ReportWriter(ReportData data);

    void setPaperSize(PaperSize paper) { m_paper = paper; }
    PaperSize paperSize() const { return m_paper; }

    // Writes the report to `path`: a file already there is replaced only
    // once the new one is complete. Empty on success, else what went wrong.
    QString write(const QString &path);

    // What the last write() put in the file.
    int pageCount() const { return m_pages; }
    const ReportSeal &seal() const { return m_seal; }

    // The document's title: "Weighing report – Series S-12".
    QString title() const;

private:
    ReportData m_data;
    PaperSize m_paper = PaperSize::A4;
    int m_pages = 0;
    ReportSeal m_seal;
};

} // namespace Veltrano
