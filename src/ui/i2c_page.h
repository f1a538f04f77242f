// The I2C test page (tab 2): address, bytes to write and read length typed
// by hand; "I2C命令" writes, waits, reads and shows the answer in hex.
#pragma once

#include <QWidget>
#include <string>

#include "script/i2c_test.h"
#include "ui/ui_dialogs.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CI2cTest final : public QWidget, public velkan::I2cTestView {
  Q_OBJECT

 public:
  explicit CI2cTest(velkan::ui::UiDialogs& dialogs, QWidget* parent = nullptr);
  ~CI2cTest() override;

  // The data box changed: the read length follows a four-byte command.
  void OnEnChangeData();
  // "I2C命令": one complete exchange on this thread.
  void OnBnClickedI2cCommand();

  // ---- velkan::I2cTestView ----
  void ShowOutput(velkan::I2cShown step, const std::string& text) override;

  std::string m_strI2cAddr = "00";
  std::string m_strOutput;
  QPlainTextEdit* m_editOutput = nullptr;  // 1015
  QLineEdit* m_editData = nullptr;         // 1013
  QLineEdit* m_editReadLen = nullptr;      // 1016
  QLineEdit* m_editI2cAddr = nullptr;      // 1014
  QPushButton* m_btnI2cCommand = nullptr;  // 1017

 private:
  velkan::ui::UiDialogs& m_dialogs;
};
