#include "eventlog/eventlog.h"

#include "platform/benign.h"
#include "platform/owned.h"

namespace nimbrel {
namespace {

constexpr WCHAR kEventSource[] = L"Nimbrel";

} // namespace

// The source is registered afresh for every message: messages are rare, and
// no handle then outlives the call. The text goes out as the event's one
// string and is never read as a format, so a '%' from a printer or document
// name reaches the log as it is. An event that cannot be written is lost:
// there is no one left to tell.
void LogEvent(WORD type, const WCHAR* text) {
    const BenignFailures benign;
    const EventSourceHandle source(RegisterEventSourceW(nullptr, kEventSource));
    if (!source) {
        return;
    }
    LPCWSTR strings[1] = {text != nullptr ? text : L""};
    ReportEventW(source.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

} // namespace nimbrel
