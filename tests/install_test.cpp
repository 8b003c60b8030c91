#include "app/dispatcher.h"
#include "app/install.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

const std::wstring kDefaultPath = L"C:\\Program Files\\Nimbrel\\Nimbrel.exe";
const std::wstring kDescription =
    L"Monitors and automatically repairs the Windows Print Spooler service.";

class InstallTest : public SimTest {
  protected:
    static int Run(const WCHAR* word) {
        WCHAR program[] = L"Nimbrel.exe";
        WCHAR command[16];
        CopyText(command, 16, word);
        WCHAR* argv[] = {program, command, nullptr};
        return Dispatch(2, argv);
    }

    static std::vector<std::wstring> Described(sim::Op op) {
        std::vector<std::wstring> result;
        for (const sim::Call& call : sim::CallsOf(op)) {
            result.push_back(sim::Describe(call));
        }
        return result;
    }

    // A registration made earlier, by hand or by another version.
    static sim::Service& Existing() {
        sim::Service& service = sim::AddService(L"Nimbrel");
        service.displayName = L"Old Nimbrel";
        service.binaryPath = L"D:\\old\\Nimbrel.exe";
        service.startType = SERVICE_DEMAND_START;
        return service;
    }
};

TEST_F(InstallTest, RegistersTheQuotedPathWithTheFullRegistration) {
    EXPECT_EQ(0, Run(L"install"));
    EXPECT_EQ("Service installed successfully.\n", sim::StdoutBytes());

    const sim::Service* service = sim::FindService(L"Nimbrel");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(L"Nimbrel", service->displayName);
    EXPECT_EQ(L"\"" + kDefaultPath + L"\"", service->binaryPath);
    EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, service->serviceType);
    EXPECT_EQ(SERVICE_AUTO_START, service->startType);
    EXPECT_EQ(SERVICE_ERROR_NORMAL, service->errorControl);
    EXPECT_EQ(kDescription, service->description);
    EXPECT_EQ(SERVICE_STOPPED, service->state) << "installing starts nothing";

    EXPECT_EQ(std::vector<std::wstring>{L"OpenSCManagerW(null, null, 2)"},
              Described(sim::Op::OpenSCManagerW));
    EXPECT_EQ(
        std::vector<std::wstring>{L"CreateServiceW(h1, Nimbrel, Nimbrel, 983551, 16, 2, 1, \"" +
                                  kDefaultPath + L"\", null, null, null, null, null)"},
        Described(sim::Op::CreateServiceW));
    EXPECT_EQ(std::vector<std::wstring>{L"ChangeServiceConfig2W(h2, 1, ptr)"},
              Described(sim::Op::ChangeServiceConfig2W));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::StartServiceW));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::RegisterEventSourceW));
}

// Every path is registered between quotes, and the longest one the path
// buffer holds is registered whole.
TEST_F(InstallTest, QuotesEveryPathWhole) {
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 1 - 15, L'a') + L"\\Nimbrel.exe";
    ASSERT_EQ(MAX_PATH - 1, longest.size());
    for (const std::wstring& path :
         {std::wstring(L"C:\\Program Files (x86)\\My Tools\\Nimbrel.exe"),
          std::wstring(L"C:\\Nimbrel\\Nimbrel.exe"), longest}) {
        sim::Reset();
        sim::SetModulePath(path);
        EXPECT_EQ(0, RunInstallCommand());
        ASSERT_NE(nullptr, sim::FindService(L"Nimbrel"));
        EXPECT_EQ(L"\"" + path + L"\"", sim::FindService(L"Nimbrel")->binaryPath) << Narrow(path);
        ExpectNothingLeftOpen();
    }
}

TEST_F(InstallTest, FailuresPrintOneLineAndCreateNothingNew) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string output;
    };
    const Case cases[] = {
        {"service exists", [] { Existing(); }, "CreateService failed: 1073\n"},
        {"no right to open the manager", [] { sim::SetManagerAccessDenied(true); },
         "OpenSCManager failed: 5\n"},
        {"creation refused", [] { sim::FailCall(sim::Op::CreateServiceW, ERROR_ACCESS_DENIED); },
         "CreateService failed: 5\n"},
        {"module path unreadable", [] { sim::FailCall(sim::Op::GetModuleFileNameW); },
         "GetModuleFileName failed: 8\n"},
        {"module path cut",
         [] { sim::SetModulePath(L"C:\\" + std::wstring(MAX_PATH, L'a') + L"\\Nimbrel.exe"); },
         "GetModuleFileName failed: 122\n"},
        {"module path leaving no room for its terminator",
         [] { sim::SetModulePath(L"C:\\" + std::wstring(MAX_PATH - 15, L'a') + L"\\Nimbrel.exe"); },
         "GetModuleFileName failed: 122\n"},
        // Rights come first: the path is not the administrator's problem yet.
        {"no rights and no path",
         [] {
             sim::SetManagerAccessDenied(true);
             sim::FailCall(sim::Op::GetModuleFileNameW);
         },
         "OpenSCManager failed: 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        c.arrange();
        const bool existed = sim::FindService(L"Nimbrel") != nullptr;

        EXPECT_EQ(1, RunInstallCommand());
        EXPECT_EQ(c.output, sim::StdoutBytes());
        const sim::Service* service = sim::FindService(L"Nimbrel");
        if (existed) {
            ASSERT_NE(nullptr, service);
            EXPECT_EQ(L"Old Nimbrel", service->displayName);
            EXPECT_EQ(L"D:\\old\\Nimbrel.exe", service->binaryPath);
            EXPECT_EQ(SERVICE_DEMAND_START, service->startType);
            EXPECT_EQ(L"", service->description);
        } else {
            EXPECT_EQ(nullptr, service);
        }
        ExpectNothingLeftOpen();
    }
}

TEST_F(InstallTest, InstallsEvenWhenTheDescriptionIsRefused) {
    sim::FailCall(sim::Op::ChangeServiceConfig2W);
    EXPECT_EQ(0, RunInstallCommand());
    EXPECT_EQ("Service installed successfully.\n", sim::StdoutBytes());
    ASSERT_NE(nullptr, sim::FindService(L"Nimbrel"));
    EXPECT_EQ(L"", sim::FindService(L"Nimbrel")->description);
}

TEST_F(InstallTest, UninstallReportsEveryOutcomeAndFailsOnlyWithoutTheManager) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string output;
        int exitCode;
        bool remains;
    };
    const Case cases[] = {
        {"installed", [] { Existing(); }, "Service uninstalled successfully.\n", 0, false},
        {"not installed", [] {}, "OpenService failed: 1060\n", 0, false},
        {"no right to delete", [] { Existing().deniedAccess = DELETE; }, "OpenService failed: 5\n",
         0, true},
        {"deletion refused",
         [] {
             Existing();
             sim::FailCall(sim::Op::DeleteService, ERROR_SERVICE_MARKED_FOR_DELETE);
         },
         "DeleteService failed: 1072\n", 0, true},
        {"no right to open the manager",
         [] {
             Existing();
             sim::SetManagerAccessDenied(true);
         },
         "OpenSCManager failed: 5\n", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        c.arrange();

        EXPECT_EQ(c.exitCode, Run(L"uninstall"));
        EXPECT_EQ(c.output, sim::StdoutBytes());
        EXPECT_EQ(c.remains, sim::FindService(L"Nimbrel") != nullptr);
        EXPECT_EQ(std::vector<std::wstring>{L"OpenSCManagerW(null, null, 1)"},
                  Described(sim::Op::OpenSCManagerW));
        ExpectNothingLeftOpen();
    }
}

TEST_F(InstallTest, UninstallDeletesARunningServiceWithoutStoppingIt) {
    EXPECT_EQ(0, Run(L"install"));
    sim::SetServiceState(L"Nimbrel", SERVICE_RUNNING);
    sim::ClearCalls();

    EXPECT_EQ(0, Run(L"uninstall"));
    EXPECT_EQ("Service installed successfully.\nService uninstalled successfully.\n",
              sim::StdoutBytes());
    const std::vector<sim::Call> opens = sim::CallsOf(sim::Op::OpenServiceW);
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Nimbrel", L"65536"}),
              std::vector<std::wstring>(opens[0].args.begin() + 1, opens[0].args.end()));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::ControlService));
    ASSERT_NE(nullptr, sim::FindService(L"Nimbrel"));
    EXPECT_TRUE(sim::FindService(L"Nimbrel")->deleted);
    EXPECT_EQ(SERVICE_RUNNING, sim::FindService(L"Nimbrel")->state);
}

// Whichever call fails, nothing stays open, exactly one line is printed, and
// the exit code tells the truth about the registration.
TEST_F(InstallTest, AnyFailingCallLeavesNothingOpenAndAnHonestExitCode) {
    for (const bool installing : {true, false}) {
        for (unsigned k = 1;; ++k) {
            SCOPED_TRACE(testing::Message() << (installing ? "install" : "uninstall")
                                            << ", failing injectable call " << k);
            sim::Reset();
            if (!installing) {
                Existing();
            }
            sim::FailNthCall(k);
            const int exitCode = installing ? RunInstallCommand() : RunUninstallCommand();
            const sim::Service* service = sim::FindService(L"Nimbrel");
            const std::string out = sim::StdoutBytes();
            if (installing) {
                EXPECT_EQ(exitCode == 0, service != nullptr);
                if (service != nullptr) {
                    EXPECT_EQ(L"\"" + kDefaultPath + L"\"", service->binaryPath);
                }
            } else {
                EXPECT_EQ(exitCode == 1, sim::LastFaultOp() == sim::Op::OpenSCManagerW);
                if (out == "Service uninstalled successfully.\n") {
                    EXPECT_EQ(nullptr, service);
                }
            }
            // Empty only when the console write itself was the failing call.
            EXPECT_TRUE(out.empty() || out.find('\n') == out.size() - 1) << out;
            ExpectNothingLeftOpen();
            if (sim::FaultsFired() == 0) {
                break;
            }
        }
    }
}

} // namespace
} // namespace nimbrel::test
