// The dialog driven as a user drives it: keys into fields, clicks on buttons and list entries,
// on the offscreen platform. Message boxes and the file chooser are answered by a scripted
// prompter, so no test waits for a window.
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <deque>
#include <memory>

#include "cipher/password.h"
#include "configmanager/ostmere_dialog.h"
#include "configmanager/prompter.h"
#include "configmanager/qt_text.h"
#include "configmanager/tests/read_only_file.h"
#include "configmanager/texts.h"
#include "testing/agent_process.h"
#include "testing/telnet_client.h"
#include "testing/temp_dir.h"

namespace vorlane::ostmere {

namespace {

using testkit::ReadFile;
using testkit::TempDir;

constexpr const char* kSample =
    "[GeneralInfo]\r\n"
    "Protocol=Telnet\r\n"
    "Port=2323\r\n"
    "BindIP=\r\n"
    "[Operators]\r\n"
    "UserName=monitor\r\n"
    "Password=%1\r\n"
    "Range=10.0.0.1-10.0.0.9\r\n"
    "; the night shift\r\n"
    "[Night shift]\r\n"
    "UserName=owl\r\n"
    "Password=%2\r\n"
    "Range=\r\n";

// Answers the dialog's questions from a script and records everything it was shown, in order.
class ScriptedPrompter final : public Prompter {
 public:
  void Warn(QWidget*, const QString& text) override { shown << "warn: " + text; }
  void ReportFailure(QWidget*, const QString& text) override { shown << "failure: " + text; }
  bool ConfirmDiscard(QWidget*) override {
    shown << "question";
    if (answers.empty()) {
      shown << "(unscripted question)";
      return false;
    }
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  QString ChooseFile(QWidget*, const QString& start) override {
    shown << "chooser from " + start;
    if (choices.empty()) return QString();
    const QString chosen = choices.front();
    choices.pop_front();
    return chosen;
  }

  QStringList shown;
  std::deque<bool> answers;    // Yes (true) or No for the next questions
  std::deque<QString> choices; // the next files chosen; empty text for a cancelled chooser
};

QString Warning(std::string_view message) { return "warn: " + ToQt(message); }

}  // namespace

class OstmereDialogTest : public QObject {
  Q_OBJECT

 private:
  // A sample file with two users whose passwords are "secret" and "hoot".
  QString SampleFile() {
    const std::string text = ToQt(kSample)
                                 .arg(ToQt(cipher_.EncipherPassword("secret")), ToQt(cipher_.EncipherPassword("hoot")))
                                 .toStdString();
    return ToQt(dir_->WriteFile("AgentConfig.INI", text).string());
  }
  std::string SampleText() { return ReadFile(dir_->Path() / "AgentConfig.INI"); }

  // A shown dialog on `path` with the scripted prompter.
  std::unique_ptr<OstmereDialog> Open(const QString& path) {
    auto dialog = std::make_unique<OstmereDialog>(prompter_, path);
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog.get())) qWarning("dialog not exposed");
    return dialog;
  }

  template <class T>
  static T* Child(QWidget* dialog, const char* name) {
    T* child = dialog->findChild<T*>(name);
    if (child == nullptr) qFatal("no control %s", name);
    return child;
  }
  static QLineEdit* Edit(QWidget* dialog, const char* name) { return Child<QLineEdit>(dialog, name); }
  static void Click(QWidget* dialog, const char* button) { QTest::mouseClick(Child<QPushButton>(dialog, button), Qt::LeftButton); }
  // Key presses carrying each character, letters outside ASCII included.
  static void Type(QWidget* dialog, const char* edit, const QString& text) {
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, Edit(dialog, edit), Qt::Key_unknown, QString(c), {});
  }
  static void ClickEntry(QWidget* dialog, int row) {
    auto* list = Child<QListWidget>(dialog, "usersList");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
  }
  static QStringList Entries(QWidget* dialog) {
    auto* list = Child<QListWidget>(dialog, "usersList");
    QStringList names;
    for (int row = 0; row < list->count(); ++row) names << list->item(row)->text();
    return names;
  }
  static QStringList UserFieldTexts(QWidget* dialog) {
    return {Edit(dialog, "typeEdit")->text(), Edit(dialog, "rangeEdit")->text(), Edit(dialog, "userNameEdit")->text(),
            Edit(dialog, "passwordEdit")->text()};
  }
  // Fills the four user fields of a new entry.
  static void TypeUser(QWidget* dialog, const QString& type, const QString& range, const QString& user,
                       const QString& password) {
    Type(dialog, "typeEdit", type);
    Type(dialog, "rangeEdit", range);
    Type(dialog, "userNameEdit", user);
    Type(dialog, "passwordEdit", password);
  }

  const cipher::PasswordCipher cipher_;
  std::unique_ptr<TempDir> dir_;
  ScriptedPrompter prompter_;

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>("ostmere-dialog");
    prompter_ = ScriptedPrompter();
  }
  void cleanup() { dir_.reset(); }

  void controlsCarryTheirTextsAndLimits() {
    auto dialog = Open(SampleFile());
    QCOMPARE(dialog->windowTitle(), QString("Ostmere"));
    QStringList frames;
    for (auto* frame : dialog->findChildren<QGroupBox*>()) frames << frame->title();
    frames.sort();
    QCOMPARE(frames, (QStringList{"General info", "Users/groups from the agent config INI file"}));
    QStringList labels;
    for (auto* label : dialog->findChildren<QLabel*>()) labels << label->text();
    for (const char* label : {"File:", "Protocol:", "Port:", "User/group type:", "IP Range:",
                              "Like: 192.168.100.1-192.168.100.25", "User name (login):", "Password:"}) {
      QVERIFY2(labels.contains(label), label);
    }
    const std::pair<const char*, const char*> buttons[] = {{"browseButton", "[...]"}, {"addNewButton", "&Add new"},
                                                           {"okButton", "OK"}, {"deleteButton", "&Delete Section"},
                                                           {"cancelButton", "Cancel"}};
    for (const auto& [name, text] : buttons) QCOMPARE(Child<QPushButton>(dialog.get(), name)->text(), QString(text));
    QVERIFY(Child<QPushButton>(dialog.get(), "okButton")->isDefault());
    auto* protocol = Child<QComboBox>(dialog.get(), "protocolCombo");
    QCOMPARE(protocol->count(), 2);
    QCOMPARE(protocol->itemText(0), QString("Telnet"));
    QCOMPARE(protocol->itemText(1), QString("SSH"));
    QVERIFY(Edit(dialog.get(), "fileEdit")->isReadOnly());
    QVERIFY(!Edit(dialog.get(), "fileEdit")->isEnabled());
    QCOMPARE(Edit(dialog.get(), "passwordEdit")->echoMode(), QLineEdit::Password);

    // Typing stops at each field's limit; the password counts bytes of its 8-bit form.
    const std::pair<const char*, int> limits[] = {
        {"typeEdit", 255}, {"rangeEdit", 35}, {"userNameEdit", 255}, {"passwordEdit", 16}};
    for (const auto& [name, limit] : limits) {
      Type(dialog.get(), name, QString(limit + 5, '7'));
      QCOMPARE(Edit(dialog.get(), name)->text().size(), limit);
    }
    Edit(dialog.get(), "passwordEdit")->clear();
    Type(dialog.get(), "passwordEdit", QString::fromUtf8("\xc3\xa9\xc3\xa9") + QString(14, 'p'));
    QCOMPARE(Edit(dialog.get(), "passwordEdit")->text().toUtf8().size(), 16);
    // The port is a number edit: nothing but digits goes in.
    Type(dialog.get(), "portEdit", "-x9");
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString("23239"));
    prompter_.answers = {true};
    dialog->reject();
  }

  void withoutAPathNothingCanBeEdited() {
    auto dialog = Open(QString());
    QCOMPARE(Edit(dialog.get(), "fileEdit")->text(), QString());
    for (const char* name : {"protocolCombo", "portEdit", "typeEdit", "rangeEdit", "userNameEdit", "passwordEdit",
                             "addNewButton", "okButton"}) {
      QVERIFY2(!Child<QWidget>(dialog.get(), name)->isEnabled(), name);
    }
    for (const char* name : {"browseButton", "deleteButton", "cancelButton", "usersList"}) {
      QVERIFY2(Child<QWidget>(dialog.get(), name)->isEnabled(), name);
    }
    QVERIFY(Entries(dialog.get()).isEmpty());
    Click(dialog.get(), "cancelButton");
    QVERIFY(!dialog->isVisible());
    QVERIFY(prompter_.shown.isEmpty());
  }

  void startReadsTheFile() {
    auto dialog = Open(SampleFile());
    QCOMPARE(dialog->FilePath(), ToQt((dir_->Path() / "AgentConfig.INI").string()));
    QCOMPARE(Child<QComboBox>(dialog.get(), "protocolCombo")->currentText(), QString("Telnet"));
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString("2323"));
    QCOMPARE(Entries(dialog.get()), (QStringList{"Operators", "Night shift"}));
    QVERIFY(!dialog->GeneralModified());
    QVERIFY(!dialog->UserModified());
    Click(dialog.get(), "cancelButton");
    QVERIFY(!dialog->isVisible());
    QVERIFY(prompter_.shown.isEmpty());
  }

  void startCreatesAMissingFile() {
    std::filesystem::create_directory(dir_->Path() / "sub");
    const auto given = dir_->Path() / "sub" / ".." / "new config.ini";
    auto dialog = Open(ToQt(given.string()));
    const auto full = dir_->Path() / "new config.ini";
    QVERIFY(std::filesystem::exists(full));
    QCOMPARE(dialog->FilePath(), ToQt(full.string()));
    QCOMPARE(Child<QComboBox>(dialog.get(), "protocolCombo")->currentText(), QString("SSH"));
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString());
    QVERIFY(Child<QWidget>(dialog.get(), "okButton")->isEnabled());
  }

  void aFileThatCannotBeCreatedKeepsThePathAsGiven() {
    const QString given = ToQt((dir_->Path() / "missing" / "AgentConfig.INI").string());
    auto dialog = Open(given);
    QCOMPARE(dialog->FilePath(), given);
    QCOMPARE(Child<QComboBox>(dialog.get(), "protocolCombo")->currentText(), QString("SSH"));
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString());
    QVERIFY(Entries(dialog.get()).isEmpty());
  }

  void portLimits_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("65535") << "65535" << true;
    QTest::newRow("1") << "1" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("65536") << "65536" << false;
    QTest::newRow("empty") << "" << false;
  }
  void portLimits() {
    QFETCH(QString, port);
    QFETCH(bool, accepted);
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    auto* portEdit = Edit(dialog.get(), "portEdit");
    portEdit->selectAll();
    if (port.isEmpty()) {
      QTest::keyClick(portEdit, Qt::Key_Backspace);
    } else {
      Type(dialog.get(), "portEdit", port);
    }
    Click(dialog.get(), "okButton");
    if (accepted) {
      QVERIFY(prompter_.shown.isEmpty());
      std::string expected = before;
      expected.replace(expected.find("Port=2323"), 9, "Port=" + port.toStdString());
      QCOMPARE(SampleText(), expected);
      QVERIFY(!dialog->GeneralModified());
    } else {
      QCOMPARE(prompter_.shown, QStringList{Warning(kBadPort)});
      QCOMPARE(dialog->focusWidget(), Edit(dialog.get(), "portEdit"));
      QCOMPARE(SampleText(), before);
      QVERIFY(dialog->GeneralModified());
    }
    QVERIFY(dialog->isVisible());
  }

  void ranges_data() {
    QTest::addColumn<QString>("range");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("single") << "10.0.0.1" << true;
    QTest::newRow("range") << "10.0.0.1-10.0.0.9" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("256") << "10.0.0.256" << false;
    QTest::newRow("short high") << "10.0.0.1-10.0.0" << false;
    QTest::newRow("999") << "10.0.0.999-10.0.1.1" << false;
    QTest::newRow("blanks") << "10.0.0.1 - 10.0.0.9" << false;
    QTest::newRow("reversed") << "10.0.0.9-10.0.0.1" << false;
    QTest::newRow("leading zero") << "10.0.0.01" << false;
  }
  void ranges() {
    QFETCH(QString, range);
    QFETCH(bool, accepted);
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    TypeUser(dialog.get(), "Admins", range, "root", "toor");
    Click(dialog.get(), "okButton");
    if (accepted) {
      QVERIFY(prompter_.shown.isEmpty());
      QCOMPARE(Entries(dialog.get()), (QStringList{"Operators", "Night shift", "Admins"}));
      QCOMPARE(SampleText(), before + "[Admins]\r\nRange=" + range.toStdString() + "\r\nUserName=root\r\nPassword=" +
                                 cipher_.EncipherPassword("toor") + "\r\n");
      QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"", "", "", ""}));
      QCOMPARE(dialog->focusWidget(), Edit(dialog.get(), "typeEdit"));
      QVERIFY(!dialog->UserModified());
    } else {
      QCOMPARE(prompter_.shown, QStringList{Warning(kBadRange)});
      QCOMPARE(dialog->focusWidget(), Edit(dialog.get(), "rangeEdit"));
      QCOMPARE(SampleText(), before);
      QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Admins", range, "root", "toor"}));
    }
  }

  void userChecksInOrder_data() {
    QTest::addColumn<QStringList>("fields");  // type, range, user name, password
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("no type") << QStringList{"", "x", "", ""} << ToQt(kNoType) << "typeEdit";
    QTest::newRow("no user") << QStringList{"Ops", "x", "", ""} << ToQt(kNoUserName) << "userNameEdit";
    QTest::newRow("no password") << QStringList{"Ops", "x", "joe", ""} << ToQt(kNoPassword) << "passwordEdit";
    QTest::newRow("bad range") << QStringList{"Ops", "x", "joe", "pw"} << ToQt(kBadRange) << "rangeEdit";
    QTest::newRow("general section") << QStringList{"GeneralInfo", "", "joe", "pw"} << ToQt(kReservedType)
                                     << "typeEdit";
    QTest::newRow("leading blank in type") << QStringList{" Ops", "", "joe", "pw"} << ToQt(kUnstorableType)
                                           << "typeEdit";
    QTest::newRow("trailing blank in type") << QStringList{"Ops ", "", "joe", "pw"} << ToQt(kUnstorableType)
                                            << "typeEdit";
    QTest::newRow("bracket in type") << QStringList{"Op]s", "", "joe", "pw"} << ToQt(kUnstorableType) << "typeEdit";
    QTest::newRow("name the agent cuts") << QStringList{"Ops", "", QString(35, 'j'), "pw"} << ToQt(kLongUserName)
                                         << "userNameEdit";
  }
  void userChecksInOrder() {
    QFETCH(QStringList, fields);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    Type(dialog.get(), "userNameEdit", "z");  // marks the user data modified even when the fields stay empty
    Edit(dialog.get(), "userNameEdit")->clear();
    TypeUser(dialog.get(), fields[0], fields[1], fields[2], fields[3]);
    Click(dialog.get(), "okButton");
    QCOMPARE(prompter_.shown, QStringList{"warn: " + message});
    QCOMPARE(dialog->focusWidget(), Edit(dialog.get(), focus.toLatin1().constData()));
    QCOMPARE(SampleText(), before);
  }

  void selectingLoadsTheEntryWithItsPasswordDeciphered() {
    auto dialog = Open(SampleFile());
    ClickEntry(dialog.get(), 0);
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Operators", "10.0.0.1-10.0.0.9", "monitor", "secret"}));
    ClickEntry(dialog.get(), 1);
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Night shift", "", "owl", "hoot"}));
    QVERIFY(!dialog->UserModified());
    QVERIFY(prompter_.shown.isEmpty());
  }

  void savingKeepsAnUneditedPasswordByteForByte() {
    // Set by another tool in an 8-bit character set: not UTF-8, so the field cannot show it as is.
    const std::string stored = cipher_.EncipherPassword("\xe9t\xe9");
    const auto file = dir_->WriteFile("AgentConfig.INI", "[Guests]\nUserName=g\nPassword=" + stored + "\nRange=\n");
    auto dialog = Open(ToQt(file.string()));
    ClickEntry(dialog.get(), 0);
    Type(dialog.get(), "rangeEdit", "10.0.0.1");
    Click(dialog.get(), "okButton");
    QVERIFY(prompter_.shown.isEmpty());
    QCOMPARE(ReadFile(file), "[Guests]\nUserName=g\nPassword=" + stored + "\nRange=10.0.0.1\n");
  }

  void selectionChangeAsksAndNoRestores() {
    auto dialog = Open(SampleFile());
    auto* list = Child<QListWidget>(dialog.get(), "usersList");
    ClickEntry(dialog.get(), 0);
    Type(dialog.get(), "userNameEdit", "2");
    prompter_.answers = {false};
    ClickEntry(dialog.get(), 1);
    QCOMPARE(prompter_.shown, QStringList{"question"});
    QCOMPARE(list->currentRow(), 0);
    QVERIFY(list->item(0)->isSelected());
    QVERIFY(!list->item(1)->isSelected());
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Operators", "10.0.0.1-10.0.0.9", "monitor2", "secret"}));
    QVERIFY(dialog->UserModified());

    prompter_.answers = {true};
    ClickEntry(dialog.get(), 1);
    QCOMPARE(prompter_.shown, (QStringList{"question", "question"}));
    QCOMPARE(list->currentRow(), 1);
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Night shift", "", "owl", "hoot"}));
    QVERIFY(!dialog->UserModified());
  }

  void addNewAsksAboutModifiedData() {
    auto dialog = Open(SampleFile());
    ClickEntry(dialog.get(), 0);
    Type(dialog.get(), "rangeEdit", "0");
    prompter_.answers = {false};
    Click(dialog.get(), "addNewButton");
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Operators", "10.0.0.1-10.0.0.90", "monitor", "secret"}));
    prompter_.answers = {true};
    Click(dialog.get(), "addNewButton");
    QCOMPARE(prompter_.shown, (QStringList{"question", "question"}));
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"", "", "", ""}));
    QCOMPARE(Child<QListWidget>(dialog.get(), "usersList")->currentRow(), -1);
    QCOMPARE(dialog->focusWidget(), Edit(dialog.get(), "typeEdit"));
    QVERIFY(!dialog->UserModified());
    // With nothing modified there is no question.
    Click(dialog.get(), "addNewButton");
    QCOMPARE(prompter_.shown.size(), 2);
  }

  void renamingAnEntryCreatesASecondSection() {
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    ClickEntry(dialog.get(), 0);
    Edit(dialog.get(), "typeEdit")->selectAll();
    Type(dialog.get(), "typeEdit", "Operators old");
    Click(dialog.get(), "okButton");
    QVERIFY(prompter_.shown.isEmpty());
    QCOMPARE(Entries(dialog.get()), (QStringList{"Operators", "Night shift", "Operators old"}));
    QCOMPARE(SampleText(), before + "[Operators old]\r\nRange=10.0.0.1-10.0.0.9\r\nUserName=monitor\r\nPassword=" +
                               cipher_.EncipherPassword("secret") + "\r\n");
  }

  void savingOnlyTheProtocolLeavesTheUsersUntouched() {
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    QTest::keyClick(Child<QComboBox>(dialog.get(), "protocolCombo"), Qt::Key_Down);
    QVERIFY(dialog->GeneralModified());
    Click(dialog.get(), "okButton");
    QVERIFY(prompter_.shown.isEmpty());
    std::string expected = before;
    expected.replace(expected.find("Protocol=Telnet"), 15, "Protocol=SSH");
    QCOMPARE(SampleText(), expected);
    QVERIFY(!dialog->GeneralModified());
  }

  void deletingAModifiedEntryAsksOnce_data() {
    QTest::addColumn<bool>("answer");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
  }
  void deletingAModifiedEntryAsksOnce() {
    QFETCH(bool, answer);
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    ClickEntry(dialog.get(), 0);
    // Typing another type does not change which entry is deleted.
    Edit(dialog.get(), "typeEdit")->selectAll();
    Type(dialog.get(), "typeEdit", "Night shift");
    prompter_.answers = {answer};
    Click(dialog.get(), "deleteButton");
    QCOMPARE(prompter_.shown, QStringList{"question"});
    if (answer) {
      QCOMPARE(Entries(dialog.get()), QStringList{"Night shift"});
      QVERIFY(SampleText().find("[Operators]") == std::string::npos);
      QVERIFY(SampleText().find("[Night shift]") != std::string::npos);
      QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"", "", "", ""}));
      QVERIFY(!dialog->UserModified());
    } else {
      QCOMPARE(SampleText(), before);
      QCOMPARE(Entries(dialog.get()), (QStringList{"Operators", "Night shift"}));
      QVERIFY(dialog->UserModified());
    }
  }

  void deleteWithoutALoadedEntryDoesNothing() {
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    Type(dialog.get(), "typeEdit", "Operators");
    Click(dialog.get(), "deleteButton");
    QVERIFY(prompter_.shown.isEmpty());
    QCOMPARE(SampleText(), before);
  }

  void browsingForAnotherFile() {
    auto dialog = Open(SampleFile());
    const auto other = dir_->WriteFile("other.ini", "[GeneralInfo]\nProtocol=SSH\nPort=22\n[Guests]\nUserName=g\n");
    const QString current = dialog->FilePath();

    // Cancelled, then the same file: nothing changes.
    prompter_.choices = {QString(), current};
    Click(dialog.get(), "browseButton");
    Click(dialog.get(), "browseButton");
    QCOMPARE(dialog->FilePath(), current);
    QCOMPARE(prompter_.shown, (QStringList{"chooser from " + ToQt(dir_->Path().string()),
                                           "chooser from " + ToQt(dir_->Path().string())}));

    // Modified data: No keeps everything and shows no chooser.
    Type(dialog.get(), "portEdit", "0");
    prompter_.shown.clear();
    prompter_.answers = {false};
    prompter_.choices = {ToQt(other.string())};
    Click(dialog.get(), "browseButton");
    QCOMPARE(prompter_.shown, QStringList{"question"});
    QCOMPARE(dialog->FilePath(), current);

    prompter_.answers = {true};
    Click(dialog.get(), "browseButton");
    QCOMPARE(prompter_.shown, (QStringList{"question", "question", "chooser from " + current}));
    QCOMPARE(dialog->FilePath(), ToQt(other.string()));
    QCOMPARE(Child<QComboBox>(dialog.get(), "protocolCombo")->currentText(), QString("SSH"));
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString("22"));
    QCOMPARE(Entries(dialog.get()), QStringList{"Guests"});
    QVERIFY(!dialog->GeneralModified());
    QVERIFY(!dialog->UserModified());

    // A name that differs only in letter case is another file here.
    const auto upper = dir_->WriteFile("OTHER.ini", "[Upper]\n");
    prompter_.choices = {ToQt(upper.string())};
    Click(dialog.get(), "browseButton");
    QCOMPARE(prompter_.shown.last(), "chooser from " + ToQt(other.string()));
    QCOMPARE(Entries(dialog.get()), QStringList{"Upper"});
  }

  void browsingEnablesADialogStartedWithoutAPath() {
    auto dialog = Open(QString());
    prompter_.choices = {SampleFile()};
    Click(dialog.get(), "browseButton");
    QVERIFY(Child<QWidget>(dialog.get(), "okButton")->isEnabled());
    QVERIFY(Edit(dialog.get(), "portEdit")->isEnabled());
    QCOMPARE(Entries(dialog.get()), (QStringList{"Operators", "Night shift"}));
  }

  void cancelAndClosingAskAboutModifiedData_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel") << "cancel";
    QTest::newRow("escape") << "escape";
    QTest::newRow("close") << "close";
  }
  void cancelAndClosingAskAboutModifiedData() {
    QFETCH(QString, how);
    auto dialog = Open(SampleFile());
    const std::string before = SampleText();
    const auto leave = [&] {
      if (how == "cancel") Click(dialog.get(), "cancelButton");
      if (how == "escape") QTest::keyClick(Edit(dialog.get(), "portEdit"), Qt::Key_Escape);
      if (how == "close") dialog->close();
    };
    Type(dialog.get(), "portEdit", "1");
    prompter_.answers = {false, true};
    leave();
    QVERIFY(dialog->isVisible());
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString("23231"));
    leave();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(prompter_.shown, (QStringList{"question", "question"}));
    QCOMPARE(SampleText(), before);
  }

  void aFailedSaveIsReportedAndKeepsTheTypedData_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("read-only file") << "read-only";
    QTest::newRow("vanished folder") << "vanished";
  }
  void aFailedSaveIsReportedAndKeepsTheTypedData() {
    QFETCH(QString, how);
    const auto folder = dir_->Path() / "config";
    std::filesystem::create_directory(folder);
    const auto file = folder / "AgentConfig.INI";
    testkit::WriteFile(file, "[GeneralInfo]\nProtocol=SSH\nPort=22\n");
    auto dialog = Open(ToQt(file.string()));
    std::unique_ptr<fixture::ReadOnlyFile> readOnly;
    if (how == "read-only") {
      readOnly = std::make_unique<fixture::ReadOnlyFile>(file);
      if (!readOnly->Active()) QSKIP("this file system cannot make a file read-only for root");
    } else {
      std::filesystem::remove_all(folder);
    }
    Type(dialog.get(), "portEdit", "2");
    TypeUser(dialog.get(), "Admins", "", "root", "toor");
    Click(dialog.get(), "okButton");
    QCOMPARE(prompter_.shown.size(), 1);
    QVERIFY2(prompter_.shown[0].startsWith("failure: The changes could not be saved to \"" + ToQt(file.string()) +
                                           "\":\n"),
             qPrintable(prompter_.shown[0]));
    QVERIFY(dialog->GeneralModified());
    QVERIFY(dialog->UserModified());
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString("222"));
    QCOMPARE(UserFieldTexts(dialog.get()), (QStringList{"Admins", "", "root", "toor"}));
    if (readOnly) QCOMPARE(ReadFile(file), std::string("[GeneralInfo]\nProtocol=SSH\nPort=22\n"));

    // Once the file can be written again, the same save goes through.
    readOnly.reset();
    std::filesystem::create_directory(folder);
    Click(dialog.get(), "okButton");
    QCOMPARE(prompter_.shown.size(), 1);
    QVERIFY(!dialog->GeneralModified());
    QVERIFY(!dialog->UserModified());
    QVERIFY(ReadFile(file).find("Port=222") != std::string::npos);
    QCOMPARE(Entries(dialog.get()), QStringList{"Admins"});
  }

  void messageBoxesAndChooserAsShown() {
    QWidget parent;
    const auto warning = MakeMessageBox(&parent, MessageKind::kWarning, ToQt(kBadRange));
    QCOMPARE(warning->windowTitle(), QString("Ostmere"));
    QCOMPARE(warning->text(), ToQt(kBadRange));
    QCOMPARE(warning->icon(), QMessageBox::Warning);
    QCOMPARE(warning->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));

    const auto question = MakeMessageBox(&parent, MessageKind::kDiscardQuestion, QString());
    QCOMPARE(question->text(),
             QString("You modified some data and you did not save them! \nAre you sure you want to loose the modifications?"));
    QCOMPARE(question->icon(), QMessageBox::Question);
    QCOMPARE(question->standardButtons(), QMessageBox::Yes | QMessageBox::No);

    const auto failure = MakeMessageBox(&parent, MessageKind::kFailure, "x");
    QCOMPARE(failure->icon(), QMessageBox::Critical);
    QCOMPARE(failure->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));

    const auto chooser = MakeFileChooser(&parent, "/tmp");
    QCOMPARE(chooser->windowTitle(), QString("Select the INI file..."));
    QCOMPARE(chooser->nameFilters(), (QStringList{"INI Files (*.ini *.INI *.Ini)", "All Files (*)"}));
    QCOMPARE(chooser->fileMode(), QFileDialog::AnyFile);
    QCOMPARE(chooser->acceptMode(), QFileDialog::AcceptOpen);
  }

  void browsingToANewNameStartsAnEmptyConfiguration() {
    auto dialog = Open(SampleFile());
    const auto fresh = dir_->Path() / "fresh.ini";
    prompter_.choices = {ToQt(fresh.string())};
    Click(dialog.get(), "browseButton");
    QCOMPARE(dialog->FilePath(), ToQt(fresh.string()));
    QVERIFY(std::filesystem::exists(fresh));
    QCOMPARE(std::filesystem::status(fresh).permissions() & std::filesystem::perms::all,
             std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    QVERIFY(Entries(dialog.get()).isEmpty());
    QCOMPARE(Edit(dialog.get(), "portEdit")->text(), QString());
    Type(dialog.get(), "portEdit", "2222");
    TypeUser(dialog.get(), "Operators", "", "monitor", "pw");
    Click(dialog.get(), "okButton");
    QVERIFY(prompter_.shown.size() == 1);
    QCOMPARE(Entries(dialog.get()), QStringList{"Operators"});
    QVERIFY(ReadFile(fresh).find("Port=2222") != std::string::npos);
  }

  void aFileWrittenByTheDialogLogsAUserInOverTelnet() {
    testkit::AgentProcess agent;
    const int port = testkit::FreePort();
    {
      auto dialog = Open(ToQt(agent.ConfigFile().string()));
      QTest::keyClick(Child<QComboBox>(dialog.get(), "protocolCombo"), Qt::Key_Up);
      QCOMPARE(Child<QComboBox>(dialog.get(), "protocolCombo")->currentText(), QString("Telnet"));
      Type(dialog.get(), "portEdit", QString::number(port));
      TypeUser(dialog.get(), "Operators", "127.0.0.1-127.0.0.1", "monitor", "pa55word");
      Click(dialog.get(), "okButton");
      QVERIFY(prompter_.shown.isEmpty());
    }
    QVERIFY(agent.Start());
    QVERIFY2(agent.WaitForLog("Server started!"), agent.Log().c_str());
    testkit::TelnetClient client(port);
    QVERIFY(client.Connected());
    QVERIFY2(!client.Login("monitor", "pa55word").empty(), agent.Log().c_str());
    testkit::TelnetClient wrong(port);
    QVERIFY(wrong.Connected());
    QVERIFY(wrong.Login("monitor", "pa55wore").empty());
  }
};

}  // namespace vorlane::ostmere

QTEST_MAIN(vorlane::ostmere::OstmereDialogTest)
#include "ostmere_dialog_test.moc"
