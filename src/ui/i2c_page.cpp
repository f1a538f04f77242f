#include "ui/i2c_page.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/dialog_units.h"
#include "ui/resource_ids.h"

CI2cTest::CI2cTest(velkan::ui::UiDialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs) {
  setObjectName(QStringLiteral("CI2cTest"));
  setFont(velkan::ui::DialogFont());
  const velkan::ui::DialogUnits du(font());
  resize(du.Size(353, 180));

  // Created in template order, which is also the keyboard order.
  m_editData = new QLineEdit(this);
  m_editData->setObjectName(QStringLiteral("data"));
  m_editData->setGeometry(du.Rect(46, 35, 251, 14));

  m_editI2cAddr = new QLineEdit(this);
  m_editI2cAddr->setObjectName(QStringLiteral("address"));
  m_editI2cAddr->setGeometry(du.Rect(75, 13, 20, 14));

  auto* addressLabel = new QLabel(QStringLiteral("I2C地址(hex)："), this);
  addressLabel->setGeometry(du.Rect(21, 16, 53, 8));
  addressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  auto* dataLabel = new QLabel(QStringLiteral("数据："), this);
  dataLabel->setGeometry(du.Rect(20, 38, 25, 8));

  auto* outputLabel = new QLabel(QStringLiteral("输出："), this);
  outputLabel->setGeometry(du.Rect(20, 60, 25, 8));

  m_editOutput = new QPlainTextEdit(this);
  m_editOutput->setObjectName(QStringLiteral("output"));
  m_editOutput->setGeometry(du.Rect(46, 60, 252, 85));
  m_editOutput->setReadOnly(true);
  m_editOutput->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_editOutput->setUndoRedoEnabled(false);

  auto* lengthLabel = new QLabel(QStringLiteral("I2C 读数据长度(hex)："), this);
  lengthLabel->setGeometry(du.Rect(159, 16, 80, 8));

  m_editReadLen = new QLineEdit(this);
  m_editReadLen->setObjectName(QStringLiteral("readLength"));
  m_editReadLen->setGeometry(du.Rect(241, 13, 18, 14));

  m_btnI2cCommand = new QPushButton(QStringLiteral("I2C命令"), this);
  m_btnI2cCommand->setObjectName(QStringLiteral("i2cCommand"));
  m_btnI2cCommand->setGeometry(du.Rect(301, 35, 38, 14));
  m_btnI2cCommand->setAutoDefault(false);

  // Dialog initialisation: the address from its field, the read length 02.
  m_editI2cAddr->setText(QString::fromStdString(m_strI2cAddr));
  m_editReadLen->setText(QStringLiteral("02"));

  connect(m_editData, &QLineEdit::textChanged, this, [this] { OnEnChangeData(); });
  connect(m_btnI2cCommand, &QPushButton::clicked, this, [this] { OnBnClickedI2cCommand(); });
}

CI2cTest::~CI2cTest() = default;

void CI2cTest::OnEnChangeData() {
  const std::optional<std::string> length = velkan::ReadLengthAfterDataChange(
      m_editData->text().toStdString(), m_editReadLen->text().toStdString());
  if (length) m_editReadLen->setText(QString::fromStdString(*length));
}

void CI2cTest::OnBnClickedI2cCommand() {
  m_strI2cAddr = m_editI2cAddr->text().toStdString();
  const velkan::I2cPressOutcome outcome =
      velkan::I2cCommandPress(*this, m_strI2cAddr, m_editData->text().toStdString(),
                              m_editReadLen->text().toStdString(), m_strOutput);
  if (const auto notice = velkan::I2cNoticeText(outcome.result)) {
    m_dialogs.MessageBox(this, *notice, velkan::kCaptionNotice, velkan::MsgButtons::kOk,
                         velkan::MsgIcon::kNone);
  }
  m_editI2cAddr->setText(QString::fromStdString(m_strI2cAddr));
}

void CI2cTest::ShowOutput(velkan::I2cShown, const std::string& text) {
  m_editOutput->setPlainText(velkan::ui::DisplayText(text));
}
