// The spool folder a recovery empties: the one named in Nimbrel.ini, or else
// the one the Print Spooler itself uses.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Writes the spool folder in effect into `folder`:
// - SpoolDirectory, as written, when the settings name one;
// - else the spooler's DefaultSpoolDirectory (under
//   HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers), environment
//   strings expanded, when it names a folder by its full path and that
//   folder is not known to be missing (the spooler uses its default then);
// - else "spool\PRINTERS" in the system folder that Windows reports.
// Returns true; false, with the empty text, when none of them can be had
// whole.
bool GetSpoolDirectoryInEffect(WCHAR* folder, std::size_t capacity);

} // namespace nimbrel
