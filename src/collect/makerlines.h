#pragma once

#include "collect/printline.h"
#include "support/makers.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The print lines of every balance maker Veltrano collects from, and a
// barcode scanner's lines. The collection engine needs three calls, all with
// the format of the instrument's `type` key:
//
//   const Format format = formatOf(typeValue);
//   buffer.append(bytesRead);
//   for (QByteArray line = takeLine(buffer, format); !line.isEmpty();
//        line = takeLine(buffer, format))
//       use(parse(line, format));
//   dropOverflow(buffer);
//
// For the layouts other than Sartorius the stored fields are: `header` the
// status field as printed without the separator after it ("S S", "ST",
// "ST,NT", "?", ...; empty for a stable Radwag or Ohaus line and a generic
// reading), `result` the value with its sign and without spaces or a verified
// balance's brackets, `unit` without the spaces around it. A legend after the
// stability mark (Ohaus "G", "NET", a time) is not kept; `weight` tells what
// it said of the weight.
namespace Veltrano::PrintLine {

// The formats by the makers' table (support/makers.h), each instrument's by
// its `type` value:
//  - Sartorius ("sartoriusBasic", "sartoriusSignum", empty or unknown): the
//    16/22-byte lines of printline.h.
//  - MettlerToledoSics: "S S     100.00 g" CR LF.
//  - AndStandard: "ST,+00012.78  g" CR LF, also the 16-byte and the CSV
//    variants, and the indicators' "ST,NT,+0012.345 kg" whose second header
//    tells gross (GS), net (NT) or tare (TR).
//  - Ohaus: "    192.21 g  ?" CR LF; a legend after the stability mark tells
//    gross ("G"), net ("NET", "N") or tare ("T").
//  - RadwagKern: "? -    2.237 lb " CR LF (the sign space, "-" or "+"), also
//    "SI ..."; and Kern's indicator lines "ST,GS,+0012.345 kg" as A&D's.
//  - Shimadzu: "S-  186.65g " CR.
//  - Automatic: told from each line, see parse().
//  - Barcode: a serial barcode scanner's lines, see takeScannedIds().
using Format = Makers::Format;

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
//  - Barcode: a line ends at a carriage return or a line feed.
// For every format but Sartorius a line of nothing but line ends (the empty
// line between CR and LF, a lone line feed) is no line: it is dropped from
// `buffer` and the next one taken. Sartorius keeps its rule: such a line is
// cut as it is and parse() calls it a length error.
QByteArray takeLine(QByteArray &buffer, Format format);

// Reads one line as cut by takeLine(buffer, format). Automatic tries the
// 16/22-byte rule first (only for lines shaped like it: sign or space first,
// separator in place, CR LF at the end), then A&D, Radwag/Kern, MT-SICS
// weight responses and their error responses, Shimadzu and Ohaus (only a line
// with its stability column, blank or "?", after the unit), and last a
// generic reading: one number with an optional sign, and a unit of 1 to 3
// letters after it, nothing else ("  -12.5 kg"; `generic` set, stability
// unknown). Other lines are NotRecognised. A Barcode line is NotAReading with
// `scanned` set and the sample ID in `result`.
Parsed parse(const QByteArray &line, Format format);

// Why a line was skipped, for the operator: "length", "error code",
// "status line", "not a reading", "layout not recognised"; empty for a
// reading.
QString skipReason(const Parsed &parsed);

// What became of a line, as the live view lists it: "reading", "reading
// (generic layout)", "sample ID" for a scanner's line, or "skipped: " and
// skipReason().
QString outcomeText(const Parsed &parsed);

// A barcode scanner's sample IDs: cuts every complete line from the front of
// `buffer` (as takeLine(buffer, Format::Barcode)) and returns their texts,
// blanks around them removed, in order; lines of blanks give none. The
// unterminated rest stays for the next read (dropOverflow() bounds it). Each
// ID belongs to the next weighing of another instrument; a scanner records
// no rows itself.
QStringList takeScannedIds(QByteArray &buffer);

} // namespace Veltrano::PrintLine
