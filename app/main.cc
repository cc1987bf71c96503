// The entry routine of the monitor. It reads no command-line arguments.
#include <clocale>

#include "Application.h"
#include "BundleLocation.h"
#include "Log.h"
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
  LogSink& log = systemLog();
  // Without a catalog every text stays English; that is all there is to it.
  (void)bindCatalogDirectory(appendPathComponent(prefix, "share/locale"));
  SystemProcessControl processes(log);
  // Made first: it keeps the environment and the limits the monitor was
  // started with, for what it opens.
  std::unique_ptr<Desktop> desktop = createSystemDesktop(log);
  if (!desktop) return 1;
  // Every running server is watched through a descriptor of its own; with
  // the limit as it was (logged), fewer servers can be watched at once.
  (void)processes.raiseDescriptorLimit();
  return runApplication(*desktop, processes, log);
}
