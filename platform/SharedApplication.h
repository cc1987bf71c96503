// The shared application: the delegate that receives the launch, and the
// chain that carries an untargeted menu action to whoever implements it.
//
// A backend calls sendAction() when the user has chosen an item; the Quit
// entry's "stop:" ends the main loop. Main thread only.
#pragma once

#include "Menu.h"

namespace kestrond {

class Desktop;

// The application's delegate: told once that launching has finished, and
// offered every action that the shared application does not handle.
class ApplicationDelegate : public Responder {
 public:
  virtual void applicationDidFinishLaunching() = 0;
};

inline const Action kStopAction{"stop:"};

class SharedApplication : public Responder {
 public:
  explicit SharedApplication(Desktop& desktop) : _desktop(desktop) {}

  // Not owned.
  void setDelegate(ApplicationDelegate* delegate) { _delegate = delegate; }
  ApplicationDelegate* delegate() const { return _delegate; }

  // Runs the main loop; the delegate hears of the launch from inside it.
  // Returns after stop().
  void run();
  void stop();

  // Handles "stop:".
  bool tryToPerform(const Action& action, MenuItem& sender) override;
  // Sends the item's action to its target, else to this object, else to the
  // delegate. False when nobody handled it (or the item has no action).
  bool sendAction(MenuItem& item);

 private:
  Desktop& _desktop;
  ApplicationDelegate* _delegate = nullptr;
};

}  // namespace kestrond
