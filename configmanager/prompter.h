// The dialog's modal questions and its file chooser, behind one interface so that tests answer
// them directly instead of waiting for a box on a screen.
#pragma once

#include <QString>
#include <memory>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace vorlane::ostmere {

class Prompter {
 public:
  virtual ~Prompter() = default;
  // A refused input: exclamation icon, OK button.
  virtual void Warn(QWidget* parent, const QString& text) = 0;
  // A save that failed: critical icon, OK button.
  virtual void ReportFailure(QWidget* parent, const QString& text) = 0;
  // The question about unsaved data: question icon, Yes and No; true for Yes (discard them).
  virtual bool ConfirmDiscard(QWidget* parent) = 0;
  // The file chooser, starting at `start`: an existing file or the name of a new one; empty
  // when cancelled.
  virtual QString ChooseFile(QWidget* parent, const QString& start) = 0;
};

enum class MessageKind { kWarning, kFailure, kDiscardQuestion };

// The boxes and the chooser exactly as the program shows them, built apart from showing them so
// that their texts, icons and buttons can be checked.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, MessageKind kind, const QString& text);
std::unique_ptr<QFileDialog> MakeFileChooser(QWidget* parent, const QString& start);

// The prompter of the running program: real modal boxes.
class ModalPrompter final : public Prompter {
 public:
  void Warn(QWidget* parent, const QString& text) override;
  void ReportFailure(QWidget* parent, const QString& text) override;
  bool ConfirmDiscard(QWidget* parent) override;
  QString ChooseFile(QWidget* parent, const QString& start) override;
};

}  // namespace vorlane::ostmere
