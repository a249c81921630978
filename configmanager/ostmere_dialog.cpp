#include "configmanager/ostmere_dialog.h"

#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QValidator>

#include "configmanager/prompter.h"
#include "configmanager/qt_text.h"
#include "configmanager/texts.h"

namespace vorlane::ostmere {

namespace {

// Refuses input whose 8-bit (UTF-8) form would be longer than the field holds: the file stores
// bytes, and the password block has room for sixteen of them.
class ByteLimitValidator final : public QValidator {
 public:
  ByteLimitValidator(int limit, QObject* parent) : QValidator(parent), limit_(limit) {}
  State validate(QString& input, int&) const override {
    return input.toUtf8().size() <= limit_ ? Acceptable : Invalid;
  }

 private:
  int limit_;
};

QLineEdit* MakeTextEdit(QWidget* parent, const char* name, int limit) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(limit);
  edit->setValidator(new ByteLimitValidator(limit, edit));
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, std::string_view text) {
  auto* button = new QPushButton(ToQt(text), parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

OstmereDialog::OstmereDialog(Prompter& prompter, const QString& path, QWidget* parent)
    : QDialog(parent), prompter_(prompter) {
  BuildControls();
  if (path.isEmpty()) {
    SetEditingEnabled(false);
    ReadGeneral();
    FillUsersList();
  } else {
    OpenFile(AgentConfigFile::OpenOrCreate(FromQt(path)));
  }
  generalModified_ = false;
  userModified_ = false;
}

OstmereDialog::~OstmereDialog() = default;

QString OstmereDialog::FilePath() const { return fileEdit_->text(); }

void OstmereDialog::BuildControls() {
  setWindowTitle(ToQt(kProgramTitle));

  auto* fileRow = new QHBoxLayout;
  fileEdit_ = new QLineEdit(this);
  fileEdit_->setObjectName("fileEdit");
  fileEdit_->setReadOnly(true);
  fileEdit_->setEnabled(false);
  browseButton_ = MakeButton(this, "browseButton", kBrowseButton);
  fileRow->addWidget(new QLabel(ToQt(kFileLabel), this));
  fileRow->addWidget(fileEdit_, 1);
  fileRow->addWidget(browseButton_);

  auto* generalFrame = new QGroupBox(ToQt(kGeneralFrame), this);
  auto* generalForm = new QFormLayout(generalFrame);
  protocolCombo_ = new QComboBox(generalFrame);
  protocolCombo_->setObjectName("protocolCombo");
  for (std::string_view name : kProtocolNames) protocolCombo_->addItem(ToQt(name));
  portEdit_ = new QLineEdit(generalFrame);
  portEdit_->setObjectName("portEdit");
  portEdit_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), portEdit_));
  generalForm->addRow(ToQt(kProtocolLabel), protocolCombo_);
  generalForm->addRow(ToQt(kPortLabel), portEdit_);

  auto* usersFrame = new QGroupBox(ToQt(kUsersFrame), this);
  auto* usersRow = new QHBoxLayout(usersFrame);
  usersList_ = new QListWidget(usersFrame);
  usersList_->setObjectName("usersList");
  usersList_->setSelectionMode(QAbstractItemView::SingleSelection);
  typeEdit_ = MakeTextEdit(usersFrame, "typeEdit", kMaxTypeLength);
  rangeEdit_ = MakeTextEdit(usersFrame, "rangeEdit", kMaxRangeLength);
  userNameEdit_ = MakeTextEdit(usersFrame, "userNameEdit", kMaxUserNameLength);
  passwordEdit_ = MakeTextEdit(usersFrame, "passwordEdit", kMaxPasswordLength);
  passwordEdit_->setEchoMode(QLineEdit::Password);
  auto* rangeHint = new QLabel(ToQt(kRangeHint), usersFrame);
  rangeHint->setObjectName("rangeHint");
  auto* userForm = new QFormLayout;
  userForm->addRow(ToQt(kTypeLabel), typeEdit_);
  userForm->addRow(ToQt(kRangeLabel), rangeEdit_);
  userForm->addRow(QString(), rangeHint);
  userForm->addRow(ToQt(kUserNameLabel), userNameEdit_);
  userForm->addRow(ToQt(kPasswordLabel), passwordEdit_);
  usersRow->addWidget(usersList_, 1);
  usersRow->addLayout(userForm, 2);

  addNewButton_ = MakeButton(this, "addNewButton", kAddNewButton);
  okButton_ = MakeButton(this, "okButton", kOkButton);
  okButton_->setDefault(true);
  deleteButton_ = MakeButton(this, "deleteButton", kDeleteButton);
  cancelButton_ = MakeButton(this, "cancelButton", kCancelButton);
  auto* buttonRow = new QHBoxLayout;
  for (QPushButton* button : {addNewButton_, okButton_, deleteButton_, cancelButton_}) buttonRow->addWidget(button);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fileRow);
  layout->addWidget(generalFrame);
  layout->addWidget(usersFrame, 1);
  layout->addLayout(buttonRow);

  for (QLineEdit* edit : {typeEdit_, rangeEdit_, userNameEdit_, passwordEdit_}) {
    connect(edit, &QLineEdit::textEdited, this, [this] { userModified_ = true; });
  }
  connect(portEdit_, &QLineEdit::textEdited, this, [this] { generalModified_ = true; });
  connect(protocolCombo_, &QComboBox::currentIndexChanged, this, [this] { generalModified_ = true; });
  // The selection, not the current row: a click moves the current row before it selects, so a
  // selection restored on the current row's signal would be overwritten by the click.
  connect(usersList_, &QListWidget::itemSelectionChanged, this, [this] {
    const QList<QListWidgetItem*> selected = usersList_->selectedItems();
    OnSelectionChanged(selected.isEmpty() ? -1 : usersList_->row(selected.front()));
  });
  connect(addNewButton_, &QPushButton::clicked, this, &OstmereDialog::OnAddNew);
  connect(okButton_, &QPushButton::clicked, this, &OstmereDialog::OnSave);
  connect(deleteButton_, &QPushButton::clicked, this, &OstmereDialog::OnDelete);
  connect(browseButton_, &QPushButton::clicked, this, &OstmereDialog::OnBrowse);
  connect(cancelButton_, &QPushButton::clicked, this, &OstmereDialog::reject);
}

void OstmereDialog::OpenFile(const std::filesystem::path& path) {
  path_ = path;
  file_.emplace(path);
  fileEdit_->setText(ToQt(path.string()));
  SetEditingEnabled(true);
  ReadGeneral();
  FillUsersList();
}

void OstmereDialog::SetEditingEnabled(bool enabled) {
  for (QWidget* widget : std::initializer_list<QWidget*>{protocolCombo_, portEdit_, typeEdit_, rangeEdit_, userNameEdit_,
                                                         passwordEdit_, addNewButton_, okButton_}) {
    widget->setEnabled(enabled);
  }
}

void OstmereDialog::ReadGeneral() {
  const GeneralFields general = file_ ? file_->ReadGeneral() : GeneralFields{};
  const QSignalBlocker blockCombo(protocolCombo_);
  protocolCombo_->setCurrentIndex(general.protocolIndex);
  portEdit_->setText(ToQt(general.port));
}

void OstmereDialog::FillUsersList() {
  const QSignalBlocker blockList(usersList_);
  usersList_->clear();
  if (file_) {
    for (const std::string& name : file_->UserSections()) usersList_->addItem(ToQt(name));
  }
  usersList_->setCurrentRow(-1);
  selected_ = -1;
  loadedType_.clear();
}

void OstmereDialog::ClearUserFields() { ShowUser(UserFields{}); }

void OstmereDialog::ShowUser(const UserFields& user) {
  typeEdit_->setText(ToQt(user.type));
  rangeEdit_->setText(ToQt(user.range));
  userNameEdit_->setText(ToQt(user.userName));
  passwordEdit_->setText(ToQt(user.password));
  loadedPassword_ = user.password;
  shownPassword_ = passwordEdit_->text();
}

GeneralFields OstmereDialog::TakeGeneral() const {
  return GeneralFields{protocolCombo_->currentIndex(), FromQt(portEdit_->text())};
}

UserFields OstmereDialog::TakeUser() const {
  const QString password = passwordEdit_->text();
  return UserFields{FromQt(typeEdit_->text()), FromQt(rangeEdit_->text()), FromQt(userNameEdit_->text()),
                    password == shownPassword_ ? loadedPassword_ : FromQt(password)};
}

QWidget* OstmereDialog::FieldWidget(Field field) const {
  switch (field) {
    case Field::kPort: return portEdit_;
    case Field::kType: return typeEdit_;
    case Field::kRange: return rangeEdit_;
    case Field::kUserName: return userNameEdit_;
    case Field::kPassword: return passwordEdit_;
  }
  return nullptr;
}

bool OstmereDialog::MayDiscard(bool general, bool user) {
  if (!general && !user) return true;
  return prompter_.ConfirmDiscard(this);
}

void OstmereDialog::OnSelectionChanged(int row) {
  if (row == selected_) return;
  if (!MayDiscard(false, userModified_)) {
    const QSignalBlocker blockList(usersList_);
    if (selected_ < 0) {
      usersList_->setCurrentRow(-1);
      usersList_->clearSelection();
    } else {
      usersList_->setCurrentRow(selected_);
    }
    return;
  }
  if (row < 0 || !file_) {
    ClearUserFields();
    loadedType_.clear();
  } else {
    loadedType_ = FromQt(usersList_->item(row)->text());
    ShowUser(file_->ReadUser(loadedType_, cipher_));
  }
  userModified_ = false;
  selected_ = row;
}

void OstmereDialog::OnAddNew() {
  if (!MayDiscard(false, userModified_)) return;
  {
    const QSignalBlocker blockList(usersList_);
    usersList_->setCurrentRow(-1);
    usersList_->clearSelection();
  }
  selected_ = -1;
  loadedType_.clear();
  ClearUserFields();
  typeEdit_->setFocus();
  userModified_ = false;
}

void OstmereDialog::OnSave() {
  if (!file_) return;
  const GeneralFields general = TakeGeneral();
  const UserFields user = TakeUser();
  std::optional<Refusal> refusal;
  if (generalModified_) refusal = CheckGeneral(general);
  if (!refusal && userModified_) refusal = CheckUser(user);
  if (refusal) {
    prompter_.Warn(this, ToQt(refusal->message));
    FieldWidget(refusal->field)->setFocus();
    return;
  }
  if (generalModified_) {
    if (Status written = file_->WriteGeneral(general); !written) {
      prompter_.ReportFailure(this, ToQt(WriteFailureMessage(path_, written.error())));
      return;
    }
    generalModified_ = false;
  }
  if (userModified_) {
    if (Status written = file_->WriteUser(user, cipher_); !written) {
      prompter_.ReportFailure(this, ToQt(WriteFailureMessage(path_, written.error())));
      return;
    }
    // Ready for the next entry, as "&Add new" leaves the fields.
    FillUsersList();
    ClearUserFields();
    typeEdit_->setFocus();
    userModified_ = false;
  }
}

void OstmereDialog::OnDelete() {
  if (!file_ || loadedType_.empty()) return;
  if (!MayDiscard(false, userModified_)) return;
  if (Status deleted = file_->DeleteUser(loadedType_); !deleted) {
    prompter_.ReportFailure(this, ToQt(WriteFailureMessage(path_, deleted.error())));
    return;
  }
  FillUsersList();
  ClearUserFields();
  userModified_ = false;
}

void OstmereDialog::OnBrowse() {
  if (!MayDiscard(generalModified_, userModified_)) return;
  QString start = lastChosen_;
  if (start.isEmpty() && file_) start = QFileInfo(ToQt(path_.string())).absolutePath();
  const QString chosen = prompter_.ChooseFile(this, start);
  if (chosen.isEmpty()) return;
  lastChosen_ = chosen;
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(FromQt(chosen), error);
  full = error ? std::filesystem::path(FromQt(chosen)) : full.lexically_normal();
  // File names differ by letter case here, so only the very same path is the current file.
  if (file_ && full == path_) return;
  // A new name starts an empty configuration, created now so that it is private to its owner
  // before any password goes in.
  OpenFile(AgentConfigFile::OpenOrCreate(full));
  ClearUserFields();
  generalModified_ = false;
  userModified_ = false;
}

void OstmereDialog::reject() {
  if (!MayDiscard(generalModified_, userModified_)) return;
  QDialog::reject();
}

}  // namespace vorlane::ostmere
