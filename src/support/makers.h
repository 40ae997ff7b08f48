#pragma once

#include <QStringView>

// The kinds of instrument Veltrano collects from, in one table: the value of
// an instrument's `type` key, what the Settings dialog shows for it, how its
// lines are read, the serial line it leaves the factory with, and what the
// balance simulator plays for it. Every room takes them from here.
namespace Veltrano::Makers {

// How an instrument's lines are cut and read (collect/makerlines.h tells
// each), and whose lines the simulator plays.
enum class Format {
    Sartorius,          // the 16/22-byte lines of collect/printline.h
    MettlerToledoSics,  // "S S     100.00 g" CR LF
    AndStandard,        // "ST,+00012.78  g" CR LF, also "ST,NT,+0012.345 kg"
    Ohaus,              // "    192.21 g  ?" CR LF
    RadwagKern,         // "? -    2.237 lb " CR LF, also "SI ..."
    Shimadzu,           // "S-  186.65g " CR
    Automatic,          // told from each line
    Barcode,            // a serial barcode scanner: each line a sample ID, no weight
};

// A serial line as a maker's instruments leave the factory: what the Settings
// dialog first suggests for a new instrument of that type. Texts as
// settings.ini holds them.
struct LineSettings
{
    const char *transmissionRate;
    const char *dataBits;
    const char *parity;
    const char *stopBits;
};

struct Type
{
    const char *value;            // the `type` key's value
    const char *text;             // the Settings dialog's item, shown as it stands
    Format format;
    const LineSettings *factory;  // nothing to suggest: null
    // The length of the simulator's Sartorius lines unless --layout says
    // otherwise (16 without header, 22 with); 0 for the other makers.
    int simulatedLayout;
    bool simulated;               // whether the simulator plays this type
};

inline constexpr LineSettings kSartoriusLine = {"1200", "7", "odd", "1"};
inline constexpr LineSettings kMettlerToledoLine = {"9600", "8", "none", "1"};
inline constexpr LineSettings kAndLine = {"2400", "7", "even", "1"};
inline constexpr LineSettings kOhausLine = {"9600", "8", "none", "1"};
inline constexpr LineSettings kRadwagKernLine = {"9600", "8", "none", "1"};
inline constexpr LineSettings kShimadzuLine = {"1200", "8", "none", "1"};
inline constexpr LineSettings kScannerLine = {"9600", "8", "none", "1"};

// In the order the Settings dialog lists them.
inline constexpr Type kTypes[] = {
    {"sartoriusBasic", "Sartorius Basic", Format::Sartorius, &kSartoriusLine, 16, true},
    {"sartoriusSignum", "Sartorius Signum", Format::Sartorius, &kSartoriusLine, 22, true},
    {"mettlerToledoSics", "Mettler-Toledo MT-SICS", Format::MettlerToledoSics, &kMettlerToledoLine, 0, true},
    {"andStandard", "A&D standard", Format::AndStandard, &kAndLine, 0, true},
    {"ohaus", "Ohaus", Format::Ohaus, &kOhausLine, 0, true},
    {"radwagKern", "Radwag / Kern", Format::RadwagKern, &kRadwagKernLine, 0, true},
    {"shimadzu", "Shimadzu", Format::Shimadzu, &kShimadzuLine, 0, true},
    {"automatic", "Automatic", Format::Automatic, nullptr, 0, false},
    {"barcode", "Barcode scanner", Format::Barcode, &kScannerLine, 0, true},
};

// The type of a `type` value, compared exactly; null for an empty or
// unknown value.
const Type *typeNamed(QStringView value);

} // namespace Veltrano::Makers
