// The "install" and "uninstall" commands.
#pragma once

namespace nimbrel {

int RunInstallCommand();
int RunUninstallCommand();

} // namespace nimbrel
