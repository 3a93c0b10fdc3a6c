// One launcher per executable path, with the real Aurevia.EXE under Wine: second starts, letter
// case, a copy in another folder, a crashed instance, and the registry read back from shared memory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "launcher/guard/instance_registry.h"
#include "launcher/guard/single_instance.h"
#include "base/handles.h"
#include "harness.h"

using namespace e2e;

namespace {

using Pids = std::vector<std::uint32_t>;
const std::wstring kCaption = L"Aurevia Solenne [2022.01.00]";

// The all-instances registry of an installation, held open so that it outlives its instances.
class AllInstances {
  public:
    explicit AllInstances(const Installation& AInstallation)
        : FMapping(OpenFileMappingW(
              FILE_MAP_READ, FALSE,
              InstanceObjectNames(InstanceIdentity(AInstallation.Exe().wstring())).All.c_str())) {
        if (FMapping) FView.reset(MapViewOfFile(FMapping.get(), FILE_MAP_READ, 0, 0, kInstanceRegistrySize));
    }
    bool Exists() const { return static_cast<bool>(FView); }
    Pids Read() const {
        std::array<std::byte, kInstanceRegistrySize> copy{};
        if (FView) std::memcpy(copy.data(), FView.get(), copy.size());
        return InstanceRegistry(copy).ProcessIds();
    }

  private:
    unique_handle FMapping;
    unique_view FView;
};

// Starts the installation's launcher and waits for its menu window.
HWND StartLauncher(std::unique_ptr<Process>& AProcess, const std::wstring& AExe,
                   const Installation& AInstallation) {
    AProcess = std::make_unique<Process>(AExe, L"", AInstallation.Path().wstring());
    return WaitForWindow(AProcess->Id(), kCaption);
}

}  // namespace

TEST(LauncherSecondStart, EndsWithZeroTouchesNothingAndBringsTheMinimisedFirstForward) {
    Installation installation;
    std::unique_ptr<Process> first;
    const HWND menu = StartLauncher(first, installation.Exe().wstring(), installation);
    ASSERT_NE(menu, nullptr);
    // The close button only minimises the launcher.
    PostMessageW(menu, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(menu) != FALSE; }, 5s));
    // The first start made the report folder; a rejected start must not make it again.
    ASSERT_TRUE(RemoveDirectoryW((installation / L"Relatorio").c_str()));

    Process second(installation.Exe().wstring(), L"/param", installation.Path().wstring());
    EXPECT_EQ(second.WaitForExit(20s), std::optional<DWORD>(0));
    EXPECT_FALSE(std::filesystem::exists(installation / L"Relatorio"));
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(menu); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == menu; }, 5s));
    EXPECT_EQ(AllInstances(installation).Read(), Pids{first->Id()});
}

TEST(LauncherSecondStart, ThroughThePathInOtherLetterCaseIsStillASecondStart) {
    Installation installation;
    std::unique_ptr<Process> first;
    ASSERT_NE(StartLauncher(first, installation.Exe().wstring(), installation), nullptr);
    std::wstring otherCase = installation.Exe().wstring();
    CharUpperBuffW(otherCase.data(), static_cast<DWORD>(otherCase.size()));
    ASSERT_NE(otherCase, installation.Exe().wstring());

    Process second(otherCase, L"", installation.Path().wstring());
    EXPECT_EQ(second.WaitForExit(20s), std::optional<DWORD>(0));
}

TEST(LauncherSecondStart, ACopyInAnotherFolderRunsBesideTheFirst) {
    Installation one, two;
    std::unique_ptr<Process> first, beside;
    ASSERT_NE(StartLauncher(first, one.Exe().wstring(), one), nullptr);
    EXPECT_NE(StartLauncher(beside, two.Exe().wstring(), two), nullptr);
    EXPECT_TRUE(beside->Running());
    EXPECT_EQ(AllInstances(one).Read(), Pids{first->Id()});
    EXPECT_EQ(AllInstances(two).Read(), Pids{beside->Id()});
}

TEST(LauncherInstances, QuittingLeavesTheRegistryAndACrashedInstanceIsSweptOut) {
    Installation installation;
    std::unique_ptr<Process> first;
    const HWND menu = StartLauncher(first, installation.Exe().wstring(), installation);
    ASSERT_NE(menu, nullptr);
    const AllInstances registry(installation);  // keeps the block alive between instances
    ASSERT_TRUE(registry.Exists());
    QuitThroughTrayMenu(menu);
    ASSERT_EQ(first->WaitForExit(20s), std::optional<DWORD>(0));
    EXPECT_EQ(registry.Read(), Pids{});

    std::unique_ptr<Process> crashing;
    ASSERT_NE(StartLauncher(crashing, installation.Exe().wstring(), installation), nullptr);
    crashing->Kill();
    ASSERT_EQ(registry.Read(), Pids{crashing->Id()});  // the dead entry stays until someone looks

    std::unique_ptr<Process> next;
    EXPECT_NE(StartLauncher(next, installation.Exe().wstring(), installation), nullptr);
    EXPECT_EQ(registry.Read(), Pids{next->Id()});
}
