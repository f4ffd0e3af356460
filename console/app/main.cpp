// NBAdmin: the administration console of Nimbra.
#include <QApplication>

#include "nbadmin_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  CNBAdminApp console;
  return console.Run();
}
