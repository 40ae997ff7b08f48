#pragma once

#include "collect/printline.h"

#include <QByteArray>
#include <QString>

// The print lines of every balance maker Veltrano collects from. The
// collection engine needs three calls, all with the format of the
// instrument's `type` key:
//
//   const Format format = formatOf(typeValue);
//   buffer.append(bytesRead);
//   for (QByteArray line = takeLine(buffer, format); !line.isEmpty();
//        line = takeLine(buffer, format))
//       use(parse(line, format));
//   dropOverflow(buffer);
//
// For the layouts other than Sartorius the stored fields are: `header` the
// status field as printed without separators ("S S", "ST", "?", ...; empty
// for a stable Radwag or Ohaus line), `result` the value with its sign and
// without spaces or a verified balance's brackets, `unit` without the spaces
// around it. A legend after the stability mark (Ohaus "G", "NET", a time) is
// not kept.
namespace Veltrano::PrintLine {

enum class Format {
    Sartorius,          // "sartoriusBasic", "sartoriusSignum", empty or unknown:
                        // the 16/22-byte lines of printline.h
    MettlerToledoSics,  // "mettlerToledoSics": "S S     100.00 g" CR LF
    AndStandard,        // "andStandard": "ST,+00012.78  g" CR LF, also the
                        // 16-byte and the CSV variants
    Ohaus,              // "ohaus": "    192.21 g  ?" CR LF
    RadwagKern,         // "radwagKern": "? -    2.237 lb " CR LF, also "SI ..."
    Shimadzu,           // "shimadzu": "S-  186.65g " CR
    Automatic,          // "automatic": told from each line, see parse()
};

// The format of an instrument's `type` value; the Sartorius rule for an
// empty or unknown value.
Format formatOf(const QString &typeValue);

// Cuts the first complete line from the front of `buffer` and returns it with
// its line end; an empty array, `buffer` untouched, while no line is complete.
//  - Sartorius and the CR LF makers: a line ends at a line feed.
//  - Shimadzu: a line ends at a carriage return. A line feed after it (the
//    balance set to CR LF) starts the next line and parse() ignores it.
//  - Automatic: a line feed ends a line; so does a carriage return followed
//    by any other byte. A carriage return that is the last byte of `buffer`
//    waits for the next byte, so a CR-only balance's line is taken once the
//    next line starts arriving.
QByteArray takeLine(QByteArray &buffer, Format format);

// Reads one line as cut by takeLine(buffer, format). Automatic tries the
// 16/22-byte rule first (only for lines shaped like it: sign or space first,
// separator in place, CR LF at the end), then A&D, Radwag/Kern, MT-SICS
// weight responses and their error responses, Shimadzu and Ohaus; other
// lines are NotRecognised.
Parsed parse(const QByteArray &line, Format format);

// Why a line was skipped, for the operator: "length", "error code",
// "status line", "not a reading", "layout not recognised"; empty for a
// reading.
QString skipReason(const Parsed &parsed);

} // namespace Veltrano::PrintLine
