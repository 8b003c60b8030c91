#include "tests/support.h"

#include "app/dispatcher.h"
#include "recovery/restart_history.h"
#include "service/metrics.h"
#include "service/monitor.h"
#include "service/schedule.h"
#include "service/service_host.h"
#include "service/spooler_watch.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace nimbrel::test {

void FreshProcess() {
    g_Settings = kDefaultSettings;
    g_LastIssue[0] = 0;
    g_PendingWatch = {0, 0};
    g_LastPluginRunTick = 0;
    g_RestartHistory = {};
    g_LastScheduledRestartDate = 0;
    g_Metrics = {};
    g_Metrics.healthy = kVerdictUnknown;
    std::fill(std::begin(g_Metrics.checks), std::end(g_Metrics.checks), kVerdictUnknown);
    std::fill(std::begin(g_LastCheckVerdicts), std::end(g_LastCheckVerdicts), -1);
    g_SpoolerDisabled = 0;
    g_RateLimitWarning = {0, 0};
    g_CheckPointCounter = 1;
    g_ServiceStatus = {};
    g_StopEvent = nullptr;
    g_QueueWorker = nullptr;
    g_QueueWorkerSince = 0;
    g_ShutdownRequested = false;
    ResetSpoolerWatch();
    g_WatchJobProgress = 0;
    ForgetWatchedJobs();
}

void WriteIni(const std::wstring& lines) {
    std::map<std::wstring, std::wstring> sections;
    for (std::size_t start = 0, end; start < lines.size(); start = end + 1) {
        end = std::min(lines.find(L'\n', start), lines.size());
        const std::size_t slash = lines.find(L'/', start);
        sections[lines.substr(start, slash - start)] +=
            lines.substr(slash + 1, end - slash - 1) + L"\r\n";
    }
    std::wstring text;
    for (const auto& [section, keys] : sections) {
        text += L"[" + section + L"]\r\n" + keys;
    }
    sim::SetFileText(kIniPath, text);
}

std::vector<std::wstring> Logged() {
    std::vector<std::wstring> logged;
    for (const sim::Event& event : sim::Events()) {
        const wchar_t* type = event.type == EVENTLOG_ERROR_TYPE         ? L"E:"
                              : event.type == EVENTLOG_WARNING_TYPE     ? L"W:"
                              : event.type == EVENTLOG_INFORMATION_TYPE ? L"I:"
                                                                        : L"?:";
        logged.push_back(type + (event.strings.empty() ? L"" : event.strings[0]));
    }
    return logged;
}

std::string Narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text) {
        result += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return result;
}

void ExpectNothingLeftOpen() {
    EXPECT_EQ(0u, sim::OpenHandles()) << "open: " << Narrow(sim::DescribeOpenHandles());
    EXPECT_EQ(0u, sim::LiveHeapBlocks()) << "heap blocks left allocated";
    for (const std::string& misuse : sim::Misuses()) {
        ADD_FAILURE() << "platform misuse: " << misuse;
    }
}

int RunNimbrel(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"Nimbrel.exe");
    std::vector<WCHAR*> argv;
    for (std::wstring& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return Dispatch(static_cast<int>(args.size()), argv.data());
}

} // namespace nimbrel::test
