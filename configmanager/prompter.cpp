#include "configmanager/prompter.h"

#include <QFileDialog>
#include <QMessageBox>

#include "configmanager/qt_text.h"
#include "configmanager/texts.h"

namespace vorlane::ostmere {

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, MessageKind kind, const QString& text) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setWindowTitle(ToQt(kProgramTitle));
  switch (kind) {
    case MessageKind::kWarning:
      box->setIcon(QMessageBox::Warning);
      box->setText(text);
      box->setStandardButtons(QMessageBox::Ok);
      break;
    case MessageKind::kFailure:
      box->setIcon(QMessageBox::Critical);
      box->setText(text);
      box->setStandardButtons(QMessageBox::Ok);
      break;
    case MessageKind::kDiscardQuestion:
      box->setIcon(QMessageBox::Question);
      box->setText(ToQt(kDiscardQuestion));
      box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
  }
  return box;
}

std::unique_ptr<QFileDialog> MakeFileChooser(QWidget* parent, const QString& start) {
  auto chooser = std::make_unique<QFileDialog>(parent, ToQt(kChooserTitle), start, ToQt(kChooserFilters));
  // A name that does not exist yet is taken too: that is how a new configuration is started.
  chooser->setAcceptMode(QFileDialog::AcceptOpen);
  chooser->setFileMode(QFileDialog::AnyFile);
  return chooser;
}

void ModalPrompter::Warn(QWidget* parent, const QString& text) {
  MakeMessageBox(parent, MessageKind::kWarning, text)->exec();
}

void ModalPrompter::ReportFailure(QWidget* parent, const QString& text) {
  MakeMessageBox(parent, MessageKind::kFailure, text)->exec();
}

bool ModalPrompter::ConfirmDiscard(QWidget* parent) {
  return MakeMessageBox(parent, MessageKind::kDiscardQuestion, QString())->exec() == QMessageBox::Yes;
}

QString ModalPrompter::ChooseFile(QWidget* parent, const QString& start) {
  auto chooser = MakeFileChooser(parent, start);
  if (chooser->exec() != QDialog::Accepted || chooser->selectedFiles().isEmpty()) return QString();
  return chooser->selectedFiles().front();
}

}  // namespace vorlane::ostmere
