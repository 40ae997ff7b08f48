#pragma once

#include <QString>

// report.ini, beside settings.ini, typed by hand:
//
//   [report]
//   lab=Quality Control, Building 4
//   paper=A4        ; or Letter
//
// Both keys may be left out; a missing file is the same as an empty one.
namespace Veltrano {

inline constexpr char kReportIni[] = "report.ini";

enum class PaperSize { A4, Letter };

struct ReportSettings
{
    QString lab;
    PaperSize paper = PaperSize::A4;
};

// The settings of the file at `path`. What cannot be used (a file that
// cannot be read, a paper size other than A4 or Letter) is told in `error`,
// and the default stands for it; the rest is read all the same.
ReportSettings readReportSettings(const QString &path, QString *error);

} // namespace Veltrano
