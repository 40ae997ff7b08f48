#pragma once

namespace Veltrano::Limits {

// The most characters a spreadsheet cell takes, in .xls and .xlsx alike;
// longer texts are cut to it, and the user is told.
inline constexpr int kCellText = 32767;

} // namespace Veltrano::Limits
