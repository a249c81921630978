// ostmere-snapshot FILE PNG: shows the dialog on FILE with its first entry loaded and saves a
// picture of it, for reviewing the layout (scripts/screenshot-ostmere.sh runs it on a virtual X
// server). Not part of the program.
#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPixmap>
#include <QWindow>
#include <cstdio>

#include "configmanager/ostmere_dialog.h"
#include "configmanager/prompter.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ostmere-snapshot FILE PNG\n");
    return 2;
  }
  QApplication application(argc, argv);
  vorlane::ostmere::ModalPrompter prompter;
  vorlane::ostmere::OstmereDialog dialog(prompter, QString::fromLocal8Bit(argv[1]));
  dialog.show();
  if (auto* list = dialog.findChild<QListWidget*>("usersList"); list != nullptr && list->count() > 0) {
    list->setCurrentRow(0);
  }
  // Until the window is on the screen, bounded to ten seconds.
  QElapsedTimer waited;
  waited.start();
  while ((dialog.windowHandle() == nullptr || !dialog.windowHandle()->isExposed()) && waited.elapsed() < 10000) {
    application.processEvents(QEventLoop::AllEvents, 50);
  }
  application.processEvents();
  if (!dialog.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "ostmere-snapshot: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
