// The settings dialog: built anew for each opening, filled from the lobby's
// values, and closed with OK only when every check passes.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "client/lobby.h"

namespace gorvane {

class TPropertyForm : public QDialog {
 public:
  TPropertyForm(Lobby& lobby, QWidget* parent);

  void ButtonOKClick();

  QLabel* Label1;
  QLineEdit* AddressEdit;
  QLabel* Label2;
  QLineEdit* NameEdit;
  QLabel* Label3;
  QFrame* Panel1;
  QLabel* Label5;
  QLineEdit* LoginEdit;
  QLabel* Label6;
  QLineEdit* PassEdit;
  QPlainTextEdit* Memo1;
  QLabel* Label4;
  QPushButton* ButtonCancel;
  QPushButton* ButtonOK;

 private:
  void FormCreate();

  Lobby& lobby_;
};

// The dialog's tips and credits.
QString PropertyMemoText();

}  // namespace gorvane
