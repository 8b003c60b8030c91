// "install" and "uninstall". Every failing platform call, with the message
// and exit code it gives, is in the fault sweep; here, the registration
// itself and the refusals that come from the machine.

#include "app/install.h"
#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

class InstallTest : public SimTest {
  protected:
    // A registration made earlier, by hand or by another version.
    static sim::Service& Existing() {
        sim::Service& service = sim::AddService(L"Nimbrel");
        service.displayName = L"Old Nimbrel";
        service.binaryPath = L"D:\\old\\Nimbrel.exe";
        return service;
    }
};

TEST_F(InstallTest, RegistersAnAutomaticServiceUnderTheQuotedPathAndStartsNothing) {
    EXPECT_EQ(0, RunInstallCommand());
    EXPECT_EQ("Service installed successfully.\n", sim::StdoutBytes());
    const sim::Service* service = sim::FindService(L"Nimbrel");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(L"Nimbrel", service->displayName);
    EXPECT_EQ(L"\"C:\\Program Files\\Nimbrel\\Nimbrel.exe\"", service->binaryPath);
    EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, service->serviceType);
    EXPECT_EQ(SERVICE_AUTO_START, service->startType);
    EXPECT_EQ(L"Monitors and automatically repairs the Windows Print Spooler service.",
              service->description);
    EXPECT_EQ(SERVICE_STOPPED, service->state);
    // Restarted a minute after its first and second failure in a day, then
    // left alone; a stop reported with an error counts as a failure.
    ASSERT_EQ(3u, service->failureActions.size());
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(i < 2 ? SC_ACTION_RESTART : SC_ACTION_NONE, service->failureActions[i].Type);
        EXPECT_EQ(i < 2 ? 60000u : 0u, service->failureActions[i].Delay);
    }
    EXPECT_EQ(86400u, service->failureResetSeconds);
    EXPECT_TRUE(service->failureActionsOnNonCrash);
}

// Unquoted, a path with a blank lets the service manager start
// "C:\Program.exe"; the longest path the buffer holds is registered whole.
TEST_F(InstallTest, QuotesEveryPathWhole) {
    for (const std::wstring& path :
         {std::wstring(L"C:\\Program Files (x86)\\My Tools\\Nimbrel.exe"),
          L"C:\\" + std::wstring(MAX_PATH - 16, L'a') + L"\\Nimbrel.exe"}) {
        Fresh();
        sim::SetModulePath(path);
        EXPECT_EQ(0, RunInstallCommand());
        ASSERT_NE(nullptr, sim::FindService(L"Nimbrel"));
        EXPECT_EQ(L"\"" + path + L"\"", sim::FindService(L"Nimbrel")->binaryPath) << Narrow(path);
    }
}

// A wrong path registered is worse than none; rights come first, so an
// administrator without them hears about that whatever else is wrong.
TEST_F(InstallTest, RefusalsPrintOneLineAndLeaveAnEarlierRegistrationAlone) {
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { Existing(); }, "CreateService failed: 1073\n"},
        {[] { sim::SetModulePath(L"C:\\" + std::wstring(MAX_PATH, L'a') + L"\\Nimbrel.exe"); },
         "GetModuleFileName failed: 122\n"},
        // A path that leaves no room for its terminator is cut too.
        {[] { sim::SetModulePath(L"C:\\" + std::wstring(MAX_PATH - 15, L'a') + L"\\Nimbrel.exe"); },
         "GetModuleFileName failed: 122\n"},
        {[] {
             sim::SetManagerAccessDenied(true);
             sim::FailCall(sim::Op::GetModuleFileNameW);
         },
         "OpenSCManager failed: 5\n"},
    };
    for (const auto& [arrange, output] : cases) {
        SCOPED_TRACE(output);
        Fresh();
        arrange();
        const bool existed = sim::FindService(L"Nimbrel") != nullptr;
        EXPECT_EQ(1, RunInstallCommand());
        EXPECT_EQ(output, sim::StdoutBytes());
        const sim::Service* service = sim::FindService(L"Nimbrel");
        EXPECT_EQ(existed, service != nullptr);
        if (existed) {
            EXPECT_EQ(L"D:\\old\\Nimbrel.exe", service->binaryPath);
            EXPECT_EQ(L"", service->description);
        }
    }
}

// A running service is not stopped: it goes on until it stops, and is
// removed then. Deleting asks for no more than the right to delete.
TEST_F(InstallTest, UninstallDeletesARunningServiceWithoutStoppingIt) {
    EXPECT_EQ(0, RunInstallCommand());
    sim::SetServiceState(L"Nimbrel", SERVICE_RUNNING);
    sim::FindService(L"Nimbrel")->deniedAccess = ~DWORD{DELETE};
    EXPECT_EQ(0, RunUninstallCommand());
    EXPECT_EQ("Service installed successfully.\nService uninstalled successfully.\n",
              sim::StdoutBytes());
    ASSERT_NE(nullptr, sim::FindService(L"Nimbrel"));
    EXPECT_TRUE(sim::FindService(L"Nimbrel")->deleted);
    EXPECT_EQ(SERVICE_RUNNING, sim::FindService(L"Nimbrel")->state);
    EXPECT_EQ(0u, sim::FindService(L"Nimbrel")->stopRequests);
}

} // namespace
} // namespace nimbrel::test
