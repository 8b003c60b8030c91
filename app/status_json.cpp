#include "app/json_text.h"
#include "app/status.h"
#include "config/settings.h"
#include "health/health.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"

namespace nimbrel {
namespace {

constexpr int kCheckOff = -1;

// What the plain report shows, gathered before any of it is written: the
// object begins with the overall verdict, which is known last.
struct StatusFacts {
    DWORD state;
    DWORD processId;
    int startTypeKnown;
    DWORD startType;
    int serviceState;
    int printQueue; // kCheckOff when the check is off
    int plugin;     // kCheckOff when the check is off
    int healthy;
};

// The checks in the plain report's order, so both forms judge alike and a
// plugin runs as often in one as in the other.
void RunChecks(StatusFacts& facts) {
    facts.startTypeKnown = QuerySpoolerStartType(&facts.startType);
    facts.serviceState = CheckServiceState();
    facts.printQueue = g_Settings.EnableQueueCheck ? CheckPrintQueues() : kCheckOff;
    facts.plugin =
        g_Settings.EnablePluginCheck && g_Settings.PluginPath[0] != 0 ? CheckPlugin() : kCheckOff;
    facts.healthy = EvaluateHealth();
    // A worker that the spooler never answered ends with the process.
    ReleaseQueueWorker();
}

void PutCheck(JsonOutput& out, const WCHAR* name, int verdict) {
    JsonRaw(out, name);
    if (verdict == kCheckOff) {
        JsonRaw(out, L"null");
    } else {
        JsonBool(out, verdict);
    }
}

void PutSpooler(JsonOutput& out, const StatusFacts& facts) {
    JsonRaw(out, L"\"spooler\":{\"state\":");
    JsonString(out, SpoolerStateName(facts.state));
    JsonRaw(out, L",\"processId\":");
    JsonNumber(out, facts.processId);
    JsonRaw(out, L",\"startType\":");
    if (facts.startTypeKnown) {
        JsonString(out, StartTypeName(facts.startType));
    } else {
        JsonRaw(out, L"null");
    }
    JsonRaw(out, L"},\"checks\":{");
    PutCheck(out, L"\"serviceState\":", facts.serviceState);
    PutCheck(out, L",\"printQueue\":", facts.printQueue);
    PutCheck(out, L",\"plugin\":", facts.plugin);
    JsonRaw(out, L"},\"lastIssue\":");
    JsonStringOrNull(out, g_LastIssue);
    JsonRaw(out, L",\"schedule\":");
    if (g_Settings.EnableScheduledRestart) {
        JsonRaw(out, L"{\"days\":");
        JsonString(out, g_Settings.RestartDays[0] != 0 ? g_Settings.RestartDays : L"Every day");
        JsonRaw(out, L",\"time\":");
        JsonString(out, g_Settings.RestartTime);
        JsonRaw(out, L"}");
    } else {
        JsonRaw(out, L"null");
    }
    JsonRaw(out, L",");
}

// The members every form carries: the folder a recovery would empty, the
// version, and each setting in effect with where it came from.
void PutCommonTail(JsonOutput& out) {
    WCHAR spool[MAX_PATH];
    JsonRaw(out, L"\"spoolDirectory\":");
    JsonStringOrNull(out, GetSpoolDirectoryInEffect(spool, MAX_PATH) ? spool : nullptr);
    JsonRaw(out, L",\"version\":");
    JsonString(out, kNimbrelVersion);
    JsonRaw(out, L",\"settings\":{");
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        const SettingEntry setting = DescribeSetting(i);
        JsonRaw(out, i == 0 ? L"" : L",");
        JsonString(out, setting.key);
        JsonRaw(out, L":{\"value\":");
        if (setting.kind == SettingKind::Text) {
            JsonString(out, setting.text);
        } else {
            JsonNumber(out, setting.number);
        }
        JsonRaw(out, L",\"source\":");
        JsonString(out, SettingSourceName(setting.source));
        JsonRaw(out, L"}");
    }
    JsonRaw(out, L"}}");
}

} // namespace

int RunStatusJsonCommand() {
    LoadSettings();
    StatusFacts facts{};
    JsonOutput out;
    JsonBegin(out);
    if (!QuerySpoolerStatus(&facts.state, &facts.processId)) {
        JsonRaw(out, L"{\"error\":\"Unable to query Print Spooler status.\",");
        PutCommonTail(out);
        JsonEnd(out);
        return 1;
    }
    RunChecks(facts);
    JsonRaw(out, L"{\"healthy\":");
    JsonBool(out, facts.healthy);
    JsonRaw(out, L",");
    PutSpooler(out, facts);
    PutCommonTail(out);
    JsonEnd(out);
    return 0;
}

} // namespace nimbrel
