// ostmere: the configuration program of the agent. With an option first it works as a command
// line for scripts; otherwise the whole command line is the path of the file to edit in the
// dialog (so a path with blanks needs no quotes).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "configmanager/command_line.h"
#include "configmanager/ostmere_dialog.h"
#include "configmanager/prompter.h"

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (vorlane::ostmere::IsCommandLine(args)) return vorlane::ostmere::RunCommandLine(args, std::cin, std::cout, std::cerr);

  const std::string path = vorlane::ostmere::DialogPath(args);
  if (!HasDisplay()) {
    std::fprintf(stderr, "ostmere: no display for the dialog; see ostmere --help for the command line\n");
    return vorlane::ostmere::kExitUsage;
  }
  // Qt sees no arguments but the program name: every word of the command line belongs to the path.
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  vorlane::ostmere::ModalPrompter prompter;
  vorlane::ostmere::OstmereDialog dialog(prompter, QString::fromStdString(path));
  dialog.show();
  return application.exec();
}
