// SPDX-License-Identifier: GPL-3.0-or-later
// The real lobby window, offscreen, fed through its own receive path as the
// socket would feed it: the resident memory a day of relayed chat holds
// (every line in the lobby console and echoed in the debug log), and the
// time of an S_LIST of 20,000 users with its debug-log echo and a trace line
// per user, from the bytes to the painted window. For scale, the same chat
// in a pair of Qt's own plain controls, and the same debug-log lines in the
// debug log alone.
//
// Usage: client_window_bench [chat lines]   (100000 unless given; 1000 in a
// smoke run)
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "process_memory.h"
#include "qt/TForm1.h"
#include "qt/qt_text.h"
#include "smoke.h"
#include "spine/sjis.h"

namespace {

using gorvane::bench::ResidentMiB;
using Clock = std::chrono::steady_clock;

constexpr int kUsers = 20000;
// Messages the socket hands over in one read while chat streams in.
constexpr size_t kMessagesPerRead = 10;

struct SilentErrorBox : gorvane::ErrorBox {
  void ShowError(std::string_view) override {}
};

void Settle() {
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Chat as the server relays it, each line its own.
std::vector<std::string> ChatMessages(size_t count) {
  const std::string says[] = {
      gorvane::sjis::Text("アリス> よろしくお願いします、ソロで遊びます #"),
      "Bob> next game with 5 players, who joins? #",
      gorvane::sjis::Text("田中 太郎> 了解です。次は罠に気をつけて #"),
  };
  std::vector<std::string> messages;
  messages.reserve(count);
  for (size_t i = 0; i < count; ++i) messages.push_back("S_CHAT " + says[i % 3] + std::to_string(i));
  return messages;
}

std::string Quoted(const std::string& field) {
  if (field.find_first_of(" ,\":") == std::string::npos) return field;
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// An S_LIST of 20,000 users; some names hold blanks (and are quoted) unless
// none may.
std::string UserList(bool blanks) {
  const std::string names[] = {"Alice", gorvane::sjis::Text("ソフト"), blanks ? "Bob X" : "Bob_X",
                               gorvane::sjis::Text(blanks ? "田中 太郎" : "田中太郎"), "carol"};
  std::string list = "S_LIST";
  for (int i = 0; i < kUsers; ++i) {
    const std::string name = names[i % 5] + std::to_string(i);
    list += ',' + Quoted(std::to_string(1000 + i * 7) + ':' + Quoted(name) + ':' +
                         std::to_string(i % 4 == 0 ? i % 97 : 0));
  }
  return list;
}

// Resident growth of the window over the chat, read by read.
double ChatResidentMiB(const std::vector<std::string>& messages,
                       const std::function<void(std::string_view)>& read) {
  malloc_trim(0);
  const double before = ResidentMiB();
  std::string wire;
  for (size_t i = 0; i < messages.size(); ++i) {
    wire += messages[i];
    wire += '\0';
    if ((i + 1) % kMessagesPerRead == 0 || i + 1 == messages.size()) {
      read(wire);
      wire.clear();
      QCoreApplication::processEvents();
    }
  }
  Settle();
  return ResidentMiB() - before;
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  size_t chatLines = gorvane::bench::SmokeRun() ? 1000 : 100000;
  if (argc > 1) chatLines = std::strtoul(argv[1], nullptr, 10);
  SilentErrorBox silent;

  // S_LIST first, in a fresh window, three times each; each list replaces
  // the one before.
  for (const bool blanks : {true, false}) {
    const std::string list = UserList(blanks);
    gorvane::TForm1 lobby(&silent);
    lobby.show();
    Settle();
    std::vector<double> window;
    for (int run = 0; run < 3; ++run) {
      const auto start = Clock::now();
      lobby.lobby().ClientSocket1Read(list + '\0');
      Settle();
      window.push_back(MsSince(start));
    }
    const size_t logged = lobby.Memo2->lines().size();
    // The debug log's share: the same lines in a debug log of its own.
    std::vector<std::string> traces;
    for (size_t i = logged - kUsers; i < logged; ++i) traces.emplace_back(lobby.Memo2->lines().Text(i));
    gorvane::ConsoleWidget log;
    log.setFont(gorvane::DebugLogFont());
    log.resize(361, 72);
    log.show();
    Settle();
    const auto start = Clock::now();
    log.AppendLine("DEBUG: " + list);
    log.AppendLines(traces);
    Settle();
    const double logMs = MsSince(start);
    std::sort(window.begin(), window.end());
    std::printf(
        "S_LIST of %d users (%.2f MB, names %s): through the window %.1f ms (median of 3, fastest %.1f; goal "
        "<= 50 "
        "ms), of which the debug log alone %.1f ms; debug log holds %zu lines\n",
        kUsers, static_cast<double>(list.size()) / 1e6, blanks ? "some with blanks" : "without blanks",
        window[1], window[0], logMs, logged);
  }

  const std::vector<std::string> messages = ChatMessages(chatLines);
  {
    gorvane::TForm1 lobby(&silent);
    lobby.show();
    Settle();
    const double grew =
        ChatResidentMiB(messages, [&](std::string_view bytes) { lobby.lobby().ClientSocket1Read(bytes); });
    const bool all = lobby.RichEdit1->lines().size() == chatLines && lobby.Memo2->lines().size() == chatLines;
    std::printf(
        "chat: %zu relayed lines (lobby console + debug log echo) grew the client's resident size by %.1f "
        "MiB, "
        "%.2f KiB a line, now %.1f MiB%s\n",
        chatLines, grew, grew * 1024 / static_cast<double>(chatLines), ResidentMiB(),
        all ? "" : " (LINES MISSING)");
  }
  {
    // Qt's own plain controls in the consoles' places, given the same lines
    // as they would show them.
    QWidget window;
    window.resize(361, 528);
    QPlainTextEdit console(&window);
    QPlainTextEdit debug(&window);
    for (QPlainTextEdit* edit : {&console, &debug}) {
      edit->setReadOnly(true);
      edit->setUndoRedoEnabled(false);
      edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    console.setFont(gorvane::ConsoleFont());
    console.setGeometry(0, 0, 361, 241);
    debug.setFont(gorvane::DebugLogFont());
    debug.setGeometry(0, 456, 361, 72);
    window.show();
    Settle();
    const double grew = ChatResidentMiB(messages, [&](std::string_view bytes) {
      for (size_t at = 0; at < bytes.size();) {
        const size_t end = bytes.find('\0', at);
        const std::string_view message = bytes.substr(at, end - at);
        debug.appendPlainText(gorvane::ToQString("DEBUG: " + std::string(message)));
        console.appendPlainText(QStringLiteral("[12:34:56] ") + gorvane::ToQString(message.substr(7)));
        at = end + 1;
      }
    });
    std::printf("chat: the same in two QPlainTextEdits grew the resident size by %.1f MiB, %.2f KiB a line\n",
                grew, grew * 1024 / static_cast<double>(chatLines));
  }
  return 0;
}
