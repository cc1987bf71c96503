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
  // Taken before anything changes the environment or the limits: what the
  // monitor starts gets them as they were.
  StartingState starting;
  SystemProcessControl processes(log, &starting);
  std::unique_ptr<Desktop> desktop = createSystemDesktop(log, starting);
  if (!desktop) return 1;
  // Every running server is watched through a descriptor of its own; with
  // the limit as it was, fewer servers can be watched at once.
  if (Error error = starting.raiseFileLimit(); error.failed()) log.write(error.text());
  return runApplication(*desktop, processes, log);
}
