#include "qt/TPropertyForm.h"

#include <QProxyStyle>

#include "client/version.h"
#include "qt/captions.h"
#include "qt/console_widgets.h"
#include "qt/cp932_validator.h"
#include "qt/placement.h"
#include "qt/qt_text.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

// The password edit shows each character as an asterisk.
class AsteriskStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

std::string EditText(const QLineEdit& edit) { return FromQString(edit.text()).value_or(std::string()); }

}  // namespace

QString PropertyMemoText() {
  return QStringLiteral(
             "魔法に関するちょっとしたTips：\n"
             "１）スペルカードはいかなる場合も魔法使いかエルフしか\n"
             "使えません．\n"
             "２）スリープとチャームはヒューマノイドモンスターにの\n"
             "み効果を発揮します．\n"
             "\n"
             "カードゲームルールと違うところ：\n"
             "１）トレジャールームまでの距離が100以上になったらそ\n"
             "の時点で到着です．「到着しない」を宣言することはでき\n"
             "ません．\n"
             "\n"
             "Gorvane 1: Client ") +
         ToQString(VersionLabel(kVersion)) + QStringLiteral("\n本プログラムはフリーソフトウェアです．");
}

TPropertyForm::TPropertyForm(Lobby& lobby, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      Label1(new QLabel(QStringLiteral("接続先アドレス"), this)),
      AddressEdit(new QLineEdit(this)),
      Label2(new QLabel(QStringLiteral("あなたの名前"), this)),
      NameEdit(new QLineEdit(this)),
      Label3(new QLabel(this)),
      Panel1(new QFrame(this)),
      Label5(new QLabel(QStringLiteral("ログイン名"), Panel1)),
      LoginEdit(new QLineEdit(Panel1)),
      Label6(new QLabel(QStringLiteral("パスワード"), Panel1)),
      PassEdit(new QLineEdit(Panel1)),
      Memo1(new QPlainTextEdit(this)),
      Label4(new QLabel(this)),
      ButtonCancel(new QPushButton(QStringLiteral("キャンセル"), this)),
      ButtonOK(new QPushButton(QStringLiteral("OK"), this)),
      lobby_(lobby) {
  setWindowTitle(QStringLiteral("プロパティの設定"));
  setModal(true);
  setFixedSize(360, 420);

  Label1->setGeometry(8, 8, 300, 16);
  AddressEdit->setGeometry(8, 24, 344, 21);
  Label2->setGeometry(8, 52, 300, 16);
  NameEdit->setGeometry(8, 68, 344, 21);
  Label3->setGeometry(8, 94, 344, 16);
  Panel1->setGeometry(8, 114, 344, 96);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Label5->setGeometry(8, 6, 280, 16);
  LoginEdit->setGeometry(8, 22, 328, 21);
  Label6->setGeometry(8, 48, 280, 16);
  PassEdit->setGeometry(8, 64, 328, 21);
  Memo1->setGeometry(8, 218, 344, 140);
  Label4->setGeometry(8, 362, 344, 16);
  Label4->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ButtonCancel->setGeometry(190, 386, 80, 26);
  ButtonOK->setGeometry(276, 386, 76, 26);

  for (QLineEdit* edit : {AddressEdit, NameEdit, LoginEdit, PassEdit}) {
    edit->setValidator(new Cp932Validator(edit));
  }
  PassEdit->setEchoMode(QLineEdit::Password);
  auto* asterisks = new AsteriskStyle();
  asterisks->setParent(PassEdit);
  PassEdit->setStyle(asterisks);

  Memo1->setReadOnly(true);
  // The tips keep their own line breaks.
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setFont(FontOf({QStringLiteral("MS UI Gothic"), QStringLiteral("Noto Sans CJK JP")}, 12));
  Memo1->setFrameStyle(QFrame::NoFrame);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setBackgroundRole(QPalette::Window);
  Memo1->viewport()->setBackgroundRole(QPalette::Window);
  Memo1->setPlainText(PropertyMemoText());

  ButtonOK->setDefault(true);
  FitCaption(*ButtonOK);
  FitCaption(*ButtonCancel);
  connect(ButtonOK, &QPushButton::clicked, this, &TPropertyForm::ButtonOKClick);
  connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);

  // Centred on the screen, frame and all, not over the lobby window.
  CentreOnScreenByFrame(*this);
  FormCreate();
}

void TPropertyForm::FormCreate() {
  Label4->setText(ToQString(VersionLabel(kVersion)));
  const Profile& profile = lobby_.profile();
  AddressEdit->setText(ToQString(profile.serverAddress));
  NameEdit->setText(ToQString(profile.displayName));
  LoginEdit->setText(ToQString(profile.loginName));
  PassEdit->setText(ToQString(profile.password));
  Label3->clear();
  Label3->setStyleSheet(QStringLiteral("color: black;"));
  const bool editable = !lobby_.socketActive();
  AddressEdit->setEnabled(editable);
  LoginEdit->setEnabled(editable);
  PassEdit->setEnabled(editable);
}

void TPropertyForm::ButtonOKClick() {
  const Profile entries{EditText(*NameEdit), EditText(*AddressEdit), EditText(*LoginEdit),
                        EditText(*PassEdit)};
  const auto message = lobby_.ButtonOKClick(entries);
  if (!message) {
    accept();
    return;
  }
  Label3->setText(ToQString(*message));
  Label3->setStyleSheet(QStringLiteral("color: red; background-color: yellow;"));
}

}  // namespace gorvane
