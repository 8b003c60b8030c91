// The one way Nimbrel writes to the Windows event log.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Writes `text` as the single string of one event of `type`
// (EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_INFORMATION_TYPE)
// under the source "Nimbrel". A failure loses the message and nothing else.
void LogEvent(WORD type, const WCHAR* text);

} // namespace nimbrel
