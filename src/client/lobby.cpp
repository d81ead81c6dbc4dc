// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/lobby.h"

#include "spine/sjis.h"

namespace gorvane {

Lobby::Lobby(Ports ports, std::string settingsPath, std::string cardListPath)
    : ports_(ports),
      session_(ports.transport, ports.debugLog, ports.errorBox, ports.console),
      settings_(std::move(settingsPath)),
      cardListPath_(std::move(cardListPath)),
      lists_(ports.debugLog) {}

Lobby::Lobby(Ports ports, Profile profile, std::string cardListPath)
    : ports_(ports),
      session_(ports.transport, ports.debugLog, ports.errorBox, ports.console),
      cardListPath_(std::move(cardListPath)),
      profile_(std::move(profile)),
      lists_(ports.debugLog) {}

void Lobby::FormCreate() {
  // A card list that cannot be read is reported; the client still starts.
  cardCatalogue_.LoadCardList(cardListPath_, ports_.errorBox, ports_.debugLog);
  LoadSettings();
}

void Lobby::Button1Click() {
  if (profile_.displayName.empty()) return;
  const bool started = ports_.transport.Start(profile_.serverAddress, kServerPort);
  SetOnline(true);
  if (!started) {
    PrintLobbyMessage("SYS: 接続に失敗しました．"_cp932, kRed);
    SetOnline(false);
  }
}

void Lobby::C1Click() { SendCommand("G_BYE", "*"); }

void Lobby::Exit1Click() {
  if (ports_.transport.connected()) {
    SendCommand("G_BYE", "*");
    ports_.pause.Wait(300);
    ports_.transport.Close();
  }
  SaveSettings();
}

void Lobby::ClientSocket1Connect() {
  // Whatever the previous connection left half-sent is not part of this one.
  session_.ResetFraming();
  abandoned_ = false;
  PrintLobbyMessage("SYS: サーバに接続しました"_cp932, kBlack);
}

void Lobby::ClientSocket1Disconnect() {
  PrintLobbyMessage("SYS: サーバから切断されました..."_cp932, kBlack);
  SetOnline(false);
}

void Lobby::ClientSocket1Read(std::string_view bytes) {
  session_.ReceiveBytes(bytes, [this](std::string_view text, const FieldList* found) {
    if (!abandoned_) DispatchServerMessage(text, found, *this, messageFields_);
  });
}

void Lobby::ConnectRefused(std::string_view cp932Text) {
  ports_.errorBox.ShowError(cp932Text);
  SetOnline(false);
}

void Lobby::DispatchTls(std::string_view text, std::string_view fingerprint) {
  switch (ports_.transport.OfferTls(fingerprint)) {
    case TlsOffer::kUnknown:
      AppendDebugLine("Error: Unrecognized Message: " + std::string(text));
      return;
    case TlsOffer::kNoted:
      return;
    case TlsOffer::kSwitching:
      abandoned_ = true;
      return;
  }
}

void Lobby::ClientSocket1Error(SocketErrorKind kind, std::string_view detail) {
  switch (kind) {
    case SocketErrorKind::kConnect:
      ports_.errorBox.ShowError("サーバ接続が正常に完了しませんでした．"_cp932);
      SetOnline(false);
      return;
    case SocketErrorKind::kSend:
      ports_.errorBox.ShowError("データの送信に失敗しました(eeSend)．"_cp932);
      SetOnline(false);
      // The command is lost; the connection cannot be trusted any more.
      ports_.transport.Close();
      return;
    default:
      // Not the lobby's to handle; the menus follow the disconnect, if any.
      AppendDebugLine("Error: Socket: " + std::string(detail));
      return;
  }
}

void Lobby::LoadSettings() {
  if (!settings_) {
    ShowLabel2();
    return;
  }
  profile_.displayName = settings_->ReadString("Global", "Name", "Anonymous");
  profile_.serverAddress = settings_->ReadString("Global", "Address", kDefaultServerAddress);
  ShowLabel2();
  profile_.loginName = settings_->ReadString("Login", "ID", "guest");
  profile_.password = settings_->ReadString("Login", "Password", "******");
  savedProfile_ = profile_;
}

bool Lobby::SaveSettings() {
  if (!settings_) return true;
  struct Setting {
    const char* section;
    const char* key;
    std::string Profile::*value;
  };
  static constexpr Setting kSettings[] = {{"Global", "Name", &Profile::displayName},
                                          {"Global", "Address", &Profile::serverAddress},
                                          {"Login", "ID", &Profile::loginName},
                                          {"Login", "Password", &Profile::password}};
  bool written = true;
  for (const Setting& setting : kSettings) {
    const std::string& value = profile_.*setting.value;
    if (value == savedProfile_.*setting.value && settings_->HasKey(setting.section, setting.key)) continue;
    written = settings_->WriteString(setting.section, setting.key, value);
    if (!written) break;
    savedProfile_.*setting.value = value;
  }
  if (written && nameHome_ && profile_.displayName != homeName_) {
    if (!nameHome_->WriteString("Global", "Name", profile_.displayName)) {
      ReportUnwritable(nameHome_->path());
      return false;
    }
    homeName_ = profile_.displayName;
  }
  if (!written) ReportUnwritable(settings_->path());
  return written;
}

void Lobby::ReportUnwritable(const std::string& path) {
  // The path is the file system's UTF-8; the message is code page 932 text.
  ports_.errorBox.ShowError(sjis::FromUtf8Lossy(path) + " に書き込めません"_cp932);
}

void Lobby::CarryNameTo(std::string ownSettingsPath) {
  nameHome_.emplace(std::move(ownSettingsPath));
  homeName_ = profile_.displayName;
}

std::optional<std::string> Lobby::ButtonOKClick(const Profile& entries) {
  std::optional<std::string> message;
  const std::string oldName = profile_.displayName;
  const bool active = socketActive();
  if (!active) {
    profile_.serverAddress = entries.serverAddress;
    profile_.loginName = entries.loginName;
    profile_.password = entries.password;
  }
  const std::string& name = entries.displayName;
  const bool quoted = name.find('"') != std::string::npos;
  if (quoted) {
    message = "名前に二重引用符（\"）は使えません！"_cp932;
  } else {
    profile_.displayName = name;
  }
  if (name.empty() || entries.loginName.empty()) {
    message = "名前/ログイン名を入力してください!"_cp932;
  }
  if (entries.password.size() < 6) {
    message = "パスワードは6文字以上設定してください"_cp932;
  }
  if (active && !quoted && !name.empty() && name != oldName) {
    SendCommand("G_RENAME", name);
  }
  return message;
}

void Lobby::SendCommand(std::string_view kind, std::string_view argument) {
  session_.SendCommand(kind, argument);
}

void Lobby::PrintLobbyMessage(std::string_view cp932Text, int kind) {
  ports_.console.AppendConsoleLine(cp932Text, kind);
}

void Lobby::AppendDebugLine(std::string_view cp932Line) { ports_.debugLog.AppendLine(cp932Line); }

void Lobby::RequestLobbyLists() {
  SendCommand("G_LIST", "*");
  ports_.pause.Wait(300);
  SendCommand("G_PLIST", "*");
}

void Lobby::OpenGameWindow() {
  const std::string caption = std::to_string(session_.myPartyNo) + "番パーティウィンドウ"_cp932;
  currentGameWindow_ = &ports_.view.OpenGameWindow(caption);
}

void Lobby::SetOnline(bool online) {
  online_ = online;
  ports_.view.ShowOnline(online);
}

void Lobby::ShowLabel2() { ports_.view.ShowLabel2(profile_.displayName + " @ " + profile_.serverAddress); }

}  // namespace gorvane
