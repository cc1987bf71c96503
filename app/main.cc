// The entry routine of the monitor. It reads no command-line arguments.
#include <clocale>

#include "Application.h"
#include "BundleLocation.h"
#include "Paths.h"
#include "ProcessControl.h"
#include "Text.h"

int main() {
  using namespace kestrond;
  std::setlocale(LC_ALL, "");
  // The catalogs lie beside the program: <prefix>/bin/<program> has them in
  // <prefix>/share/locale, in the bundle and in an installed tree alike.
  std::string executable = currentExecutablePath();
  std::string prefix = resolveSymlinks(appendPathComponent(executable, "../.."));
  bindCatalogDirectory(appendPathComponent(prefix, "share/locale"));
  // Every running server is watched through a descriptor of its own.
  SystemProcessControl::instance().raiseDescriptorLimit();

  std::unique_ptr<Desktop> desktop = createSystemDesktop();
  if (!desktop) return 1;
  return runApplication(*desktop);
}
