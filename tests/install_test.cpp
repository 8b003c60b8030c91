// "install" and "uninstall": the registration and the machine's refusals.
#include "app/install.h"
#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

class InstallTest : public SimTest {};

// Unquoted, a path with a blank would start "C:\Program.exe"; the longest path fits whole.
TEST_F(InstallTest, RegistersAnAutomaticServiceUnderTheWholeQuotedPathAndStartsNothing) {
    for (const std::wstring& path :
         {std::wstring(L"C:\\Program Files\\Nimbrel\\Nimbrel.exe"),
          L"C:\\" + std::wstring(MAX_PATH - 16, L'a') + L"\\Nimbrel.exe"}) {
        Fresh();
        sim::SetModulePath(path);
        EXPECT_EQ(0, RunInstallCommand());
        EXPECT_EQ("Service installed successfully.\n", sim::StdoutBytes());
        const sim::Service* service = sim::FindService(L"Nimbrel");
        ASSERT_NE(nullptr, service);
        EXPECT_EQ(L"\"" + path + L"\"", service->binaryPath);
        EXPECT_EQ(L"Nimbrel", service->displayName);
        EXPECT_EQ(SERVICE_AUTO_START, service->startType);
        EXPECT_EQ(L"Monitors and automatically repairs the Windows Print Spooler service.",
                  service->description);
        EXPECT_EQ(SERVICE_STOPPED, service->state);
        // Restarted a minute after its first and second failure; an error stop is a failure.
        ASSERT_EQ(3u, service->failureActions.size());
        EXPECT_EQ(60000u, service->failureActions[1].Delay);
        EXPECT_EQ(SC_ACTION_NONE, service->failureActions[2].Type);
        EXPECT_TRUE(service->failureActionsOnNonCrash);
    }
}

// A wrong path registered is worse than none; missing rights are reported first.
TEST_F(InstallTest, RefusalsPrintOneLineAndLeaveAnEarlierRegistrationAlone) {
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { sim::AddService(L"Nimbrel").binaryPath = L"D:\\old\\Nimbrel.exe"; },
         "CreateService failed: 1073\n"},
        // No room for the terminator: the path was cut.
        {[] { sim::SetModulePath(L"C:\\" + std::wstring(MAX_PATH - 15, L'a') + L"\\Nimbrel.exe"); },
         "GetModuleFileName failed: 122\n"},
        {[] {
             sim::SetManagerAccessDenied(true);
             sim::FailCall(sim::Op::GetModuleFileNameW);
         },
         "OpenSCManager failed: 5\n"},
    };
    for (const auto& [arrange, output] : cases) {
        Fresh();
        arrange();
        const bool existed = sim::FindService(L"Nimbrel") != nullptr;
        EXPECT_EQ(1, RunInstallCommand());
        EXPECT_EQ(output, sim::StdoutBytes());
        const sim::Service* service = sim::FindService(L"Nimbrel");
        ASSERT_EQ(existed, service != nullptr);
        EXPECT_TRUE(!existed || service->binaryPath == L"D:\\old\\Nimbrel.exe");
    }
}

// A running service is removed once it stops; deleting asks only for the right to delete.
TEST_F(InstallTest, UninstallDeletesARunningServiceWithoutStoppingIt) {
    sim::Service& service = sim::AddService(L"Nimbrel");
    sim::SetServiceState(L"Nimbrel", SERVICE_RUNNING);
    service.deniedAccess = ~DWORD{DELETE};
    EXPECT_EQ(0, RunUninstallCommand());
    EXPECT_EQ("Service uninstalled successfully.\n", sim::StdoutBytes());
    EXPECT_TRUE(service.deleted);
    EXPECT_EQ(0u, service.stopRequests);
}

} // namespace
} // namespace nimbrel::test
