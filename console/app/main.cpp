// NBAdmin: the administration console of Nimbra.
#include <QApplication>

#include "nb/win/socket_channel.h"
#include "nbadmin_app.h"
#include "settings_owner.h"

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  QApplication application(argc, argv);
  if (auto owner = nb::console::InvokingUser()) nb::console::UseSettingsOf(*owner);
  CNBAdminApp console;
  return console.Run();
}
