// The real Windows behind the seam: each operation forwards to the API
// function of the same name and does nothing else.
//
// Our records mirror the Windows ones field for field; the checks below make
// the compiler prove it, so a pointer to one can be handed on as the other.

#include "platform/platform.h"

// windows.h first: the other Windows headers build on its types.
#include <windows.h>

#include <time.h>
#include <tlhelp32.h>
#include <winspool.h>

#include <cstddef>
#include <type_traits>

#define NIMBREL_SAME_LAYOUT(type)                                                                  \
    static_assert(sizeof(nimbrel::type) == sizeof(::type), #type " size");                         \
    static_assert(alignof(nimbrel::type) == alignof(::type), #type " alignment")
#define NIMBREL_SAME_FIELD(type, field)                                                            \
    static_assert(offsetof(nimbrel::type, field) == offsetof(::type, field), #type "." #field)

static_assert(sizeof(void*) == 8, "built for 64-bit Windows, where one calling convention holds");
static_assert(sizeof(nimbrel::WCHAR) == sizeof(::WCHAR), "wide characters are UTF-16 units");
static_assert(sizeof(nimbrel::DWORD) == sizeof(::DWORD), "DWORD");

NIMBREL_SAME_LAYOUT(SERVICE_STATUS);
NIMBREL_SAME_FIELD(SERVICE_STATUS, dwWaitHint);
NIMBREL_SAME_LAYOUT(SERVICE_STATUS_PROCESS);
NIMBREL_SAME_FIELD(SERVICE_STATUS_PROCESS, dwProcessId);
NIMBREL_SAME_LAYOUT(QUERY_SERVICE_CONFIGW);
NIMBREL_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwStartType);
NIMBREL_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpDisplayName);
NIMBREL_SAME_LAYOUT(SERVICE_TABLE_ENTRYW);
NIMBREL_SAME_LAYOUT(SERVICE_DESCRIPTIONW);
NIMBREL_SAME_LAYOUT(SC_ACTION);
NIMBREL_SAME_FIELD(SC_ACTION, Delay);
NIMBREL_SAME_LAYOUT(SERVICE_FAILURE_ACTIONSW);
NIMBREL_SAME_FIELD(SERVICE_FAILURE_ACTIONSW, cActions);
NIMBREL_SAME_FIELD(SERVICE_FAILURE_ACTIONSW, lpsaActions);
NIMBREL_SAME_LAYOUT(SERVICE_FAILURE_ACTIONS_FLAG);
NIMBREL_SAME_LAYOUT(SYSTEMTIME);
NIMBREL_SAME_FIELD(SYSTEMTIME, wMilliseconds);
NIMBREL_SAME_LAYOUT(FILETIME);
NIMBREL_SAME_LAYOUT(PRINTER_INFO_2W);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, pPrinterName);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, Attributes);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, Status);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, AveragePPM);
NIMBREL_SAME_LAYOUT(JOB_INFO_2W);
NIMBREL_SAME_FIELD(JOB_INFO_2W, pDocument);
NIMBREL_SAME_FIELD(JOB_INFO_2W, Status);
NIMBREL_SAME_FIELD(JOB_INFO_2W, Submitted);
NIMBREL_SAME_FIELD(JOB_INFO_2W, PagesPrinted);
NIMBREL_SAME_LAYOUT(PROCESSENTRY32W);
NIMBREL_SAME_FIELD(PROCESSENTRY32W, th32ProcessID);
NIMBREL_SAME_FIELD(PROCESSENTRY32W, szExeFile);
NIMBREL_SAME_LAYOUT(STARTUPINFOW);
NIMBREL_SAME_FIELD(STARTUPINFOW, dwFlags);
NIMBREL_SAME_FIELD(STARTUPINFOW, wShowWindow);
NIMBREL_SAME_FIELD(STARTUPINFOW, hStdError);
NIMBREL_SAME_LAYOUT(PROCESS_INFORMATION);
NIMBREL_SAME_LAYOUT(WIN32_FIND_DATAW);
NIMBREL_SAME_FIELD(WIN32_FIND_DATAW, dwFileAttributes);
NIMBREL_SAME_FIELD(WIN32_FIND_DATAW, cFileName);

namespace nimbrel {
namespace {

// Hands a value of ours on as the Windows type of the same layout: pointers
// (records, handles, callbacks) by cast, numbers by value.
template <typename To, typename From>
To Convert(From value) {
    if constexpr (std::is_pointer_v<To> && std::is_pointer_v<From>) {
        return (To)(value); // NOLINT: also drops the distinct handle struct types
    } else {
        return static_cast<To>(value);
    }
}

template <typename Ours, typename R, typename... P>
auto Forward(R (*function)(P...)) {
    return [function](auto... args) -> Ours {
        if constexpr (std::is_void_v<R>) {
            function(Convert<P>(args)...);
        } else {
            return Convert<Ours>(function(Convert<P>(args)...));
        }
    };
}

} // namespace

#define NIMBREL_FORWARD(ret, name, params, args, failValue, failError)                             \
    ret name params {                                                                              \
        return Forward<ret>(&::name) args;                                                         \
    }
#define NIMBREL_FORWARD_NOFAIL(ret, name, params, args)                                            \
    ret name params {                                                                              \
        return Forward<ret>(&::name) args;                                                         \
    }

NIMBREL_PLATFORM_OPS(NIMBREL_FORWARD, NIMBREL_FORWARD_NOFAIL)

} // namespace nimbrel
