// The configuration dialog: the general settings and the user/group entries of one
// AgentConfig.INI, edited in fields and saved key by key through AgentConfigFile.
//
// Two flags remember unsaved edits (general, user); every action that would drop them asks the
// Prompter first. A save that fails keeps the flags and the fields, so nothing typed is lost.
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <optional>
#include <string>

#include "cipher/password.h"
#include "configmanager/agent_config_file.h"
#include "configmanager/entry_checks.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vorlane::ostmere {

class Prompter;

class OstmereDialog : public QDialog {
  Q_OBJECT

 public:
  // `path` is the file to edit (created when missing); empty leaves the editing controls
  // disabled until a file is chosen with "[...]". The prompter must outlive the dialog.
  OstmereDialog(Prompter& prompter, const QString& path, QWidget* parent = nullptr);
  ~OstmereDialog() override;

  // The file being edited, as shown.
  QString FilePath() const;
  bool GeneralModified() const { return generalModified_; }
  bool UserModified() const { return userModified_; }

 public slots:
  // Cancel, Escape and closing: asks about unsaved data, closes unless answered No.
  void reject() override;

 private:
  void BuildControls();
  void OpenFile(const std::filesystem::path& path);
  void SetEditingEnabled(bool enabled);
  void ReadGeneral();
  void FillUsersList();
  void ClearUserFields();
  void ShowUser(const UserFields& user);
  GeneralFields TakeGeneral() const;
  UserFields TakeUser() const;
  QWidget* FieldWidget(Field field) const;
  // True when nothing unsaved would be lost, or the user agreed to lose it.
  bool MayDiscard(bool general, bool user);

  void OnSelectionChanged(int row);
  void OnAddNew();
  void OnSave();
  void OnDelete();
  void OnBrowse();

  Prompter& prompter_;
  const cipher::PasswordCipher cipher_;  // the key schedule, built once with the dialog
  std::optional<AgentConfigFile> file_;
  std::filesystem::path path_;
  QString lastChosen_;  // where the file chooser starts
  int selected_ = -1;
  std::string loadedType_;  // the section whose entry the fields hold, "" for none
  // The loaded password as stored bytes and as shown: bytes that are not UTF-8 show altered, and
  // saving the entry must not change a password that was not edited.
  std::string loadedPassword_;
  QString shownPassword_;
  bool generalModified_ = false;
  bool userModified_ = false;

  QLineEdit* fileEdit_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QComboBox* protocolCombo_ = nullptr;
  QLineEdit* portEdit_ = nullptr;
  QListWidget* usersList_ = nullptr;
  QLineEdit* typeEdit_ = nullptr;
  QLineEdit* rangeEdit_ = nullptr;
  QLineEdit* userNameEdit_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  QPushButton* addNewButton_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* deleteButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

}  // namespace vorlane::ostmere
