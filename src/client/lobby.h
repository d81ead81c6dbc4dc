// SPDX-License-Identifier: GPL-3.0-or-later
// The logic behind the lobby window: the connection and session, the
// profile, the menus' online state, and the owner of the dispatcher.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/chat_line.h"
#include "client/dispatcher.h"
#include "client/lobby_lists.h"
#include "client/profile.h"
#include "client/profile_file.h"
#include "rules/card_catalogue.h"
#include "spine/TVR1Util.h"
#include "spine/ports.h"
#include "spine/session.h"

namespace gorvane {

inline constexpr uint16_t kServerPort = 21012;
// The key code of Enter, whichever Enter key and modifiers were pressed.

// What the lobby logic asks of its window.
class LobbyView {
 public:
  virtual ~LobbyView() = default;
  // Offline: S1 on, C1 and L1 off. Online: the reverse.
  virtual void ShowOnline(bool online) = 0;
  virtual void ShowLabel2(std::string_view cp932Text) = 0;
  // The program sets the chat line's text.
  virtual void ShowEdit2(std::string_view cp932Text) = 0;
  // Creates a new game window, shows it with the caption, and returns its
  // logic. The window lives as long as the lobby.
  virtual GameWindow& OpenGameWindow(std::string_view cp932Caption) = 0;
};

class Lobby : public DispatchTarget {
 public:
  struct Ports {
    Transport& transport;
    DebugLog& debugLog;
    ErrorBox& errorBox;
    Console& console;
    Pause& pause;
    LobbyView& view;
  };

  // The card list is opened by its bare name, in the working directory of
  // the start-up, unless a path is given.
  Lobby(Ports ports, std::string settingsPath, std::string cardListPath = std::string(kCardListFile));
  // A lobby without a settings file (the headless players): start-up takes
  // this profile as it is and the exit writes nothing.
  Lobby(Ports ports, Profile profile, std::string cardListPath);

  // Start-up: reads the card list, then the settings (both paths were fixed
  // at construction).
  void FormCreate();
  const CardCatalogue& cardCatalogue() const { return cardCatalogue_; }

  // User commands.
  void Button1Click();  // connect
  void C1Click();       // say goodbye
  // Exit and closing the window: goodbye and close when connected, then save.
  void Exit1Click();
  void FormClose() { Exit1Click(); }

  // Socket events.
  void ClientSocket1Connect();
  void ClientSocket1Disconnect();
  void ClientSocket1Read(std::string_view bytes);
  void ClientSocket1Error(SocketErrorKind kind, std::string_view detail);
  // The transport would not make the connection (a server key that changed,
  // TLS missing where it was spoken before): the box says why; offline.
  void ConnectRefused(std::string_view cp932Text);
  // S_TLS that reached the lobby: the transport decides; a transport that
  // speaks plain only leaves the line a client without TLS would.
  void DispatchTls(std::string_view text, std::string_view fingerprint);

  // Settings.
  void LoadSettings();
  // Writes the values this client changed since it read them, and any the
  // file lacks; reports a file that cannot be written.
  bool SaveSettings();
  const Profile& profile() const { return profile_; }
  // A practice client runs on settings of its own, but its name is the
  // player's: a name changed here is also written to their own settings at
  // exit, and nothing else is.
  void CarryNameTo(std::string ownSettingsPath);
  bool socketActive() const { return ports_.transport.active(); }
  // The settings dialog's OK: every step runs; returns the message of the
  // last failing check, or nothing when the dialog may close.
  std::optional<std::string> ButtonOKClick(const Profile& entries);
  // Label2 after the dialog closed with OK.
  void Property1Closed() { ShowLabel2(); }

  bool online() const { return online_; }

  // The chat line: the window reports every edit by the user and each key.
  void Edit2Change(std::string cp932Text) { chat_.Edited(std::move(cp932Text)); }
  void Edit2KeyDown(int key);
  // Whether a typed character reaches the line: Enter neither beeps nor types.
  static bool Edit2KeyPress(int key) { return key != kEnterKey; }
  const ChatLine& chatLine() const { return chat_; }

  // The lists and the lobby menu's commands on them.
  LobbyLists& lists() { return lists_; }
  void ListBox1DblClick();
  void R1Click();
  void G1Click();
  void P1Click();
  void J1Click();

  // DispatchTarget.
  Lobby* lobby() override { return this; }
  int32_t myId() const override { return session_.myId; }
  void setMyId(int32_t id) override { session_.myId = id; }
  int32_t myPartyNo() const override { return session_.myPartyNo; }
  void setMyPartyNo(int32_t number) override { session_.myPartyNo = number; }
  const std::string& displayName() const override { return profile_.displayName; }
  const std::string& loginName() const override { return profile_.loginName; }
  const std::string& password() const override { return profile_.password; }
  void SendCommand(std::string_view kind, std::string_view argument) override;
  void PrintLobbyMessage(std::string_view cp932Text, int kind) override;
  void AppendDebugLine(std::string_view cp932Line) override;
  void SetMenusOffline() override { SetOnline(false); }
  void RequestLobbyLists() override;
  void createUserList(std::string_view text) override;
  void RefreshUserList() override;
  void createGroupList(std::string_view text) override;
  void RefreshGroupList() override;
  void DispatchQuit(int32_t userId) override;
  void DispatchUserInfo(std::string_view commaText) override;
  void DispatchOtherJoin(int32_t userId, int32_t partyNo) override;
  void DispatchRename(int32_t userId, std::string_view name) override;
  void DispatchPartyLeave(int32_t userId, int32_t partyNo) override;
  GameWindow* currentGameWindow() override { return currentGameWindow_; }
  void OpenGameWindow() override;

 private:
  void SetOnline(bool online);
  void ShowLabel2();
  void ReportUnwritable(const std::string& path);

  Ports ports_;
  Session session_;
  std::optional<ProfileFile> settings_;
  std::string cardListPath_;
  CardCatalogue cardCatalogue_;
  Profile profile_;
  // The values as this client last read or wrote them. Another client may
  // share the file: what this one did not change is its to keep.
  Profile savedProfile_;
  std::optional<ProfileFile> nameHome_;
  // The name as the player's own settings last had it from this client.
  std::string homeName_;
  bool online_ = false;
  GameWindow* currentGameWindow_ = nullptr;
  // The connection was dropped for an encrypted one inside this read: what
  // follows in it belongs to no connection the lobby keeps.
  bool abandoned_ = false;
  LobbyLists lists_;
  ChatLine chat_;
  // The fields of the message being dispatched; the framing never hands
  // on a message while another is handled.
  FieldViews messageFields_;
};

}  // namespace gorvane
