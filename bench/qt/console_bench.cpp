// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the lobby's consoles as a session fills them: the coloured console
// against the cheapest way a QPlainTextEdit of the same size and face takes a
// line, whether a line costs more once the console is long, the memory a day
// of lines holds, and what one huge line without blanks costs to show.
// Everything runs offscreen with the windows shown. The measured lines get a
// turn of the event loop each, as when messages arrive one by one: the first
// tenth in fresh windows, the last tenth in windows filled up to there, side
// by side so that both see the same machine.
//
// Usage: console_bench [lines]   (100000 unless given; 5000 in a smoke run)
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QString>
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

using gorvane::bench::HeapMiB;
using gorvane::bench::ResidentMiB;
using Clock = std::chrono::steady_clock;

// The console lines of a busy lobby, in code page 932, each with its own
// number so no two lines are alike.
struct Lines {
  std::vector<std::string> console;  // what PrintLobbyMessage gets
  std::vector<int> kinds;
  std::vector<QString> consoleShown;  // the same lines as the console shows them
  std::vector<std::string> debug;     // received messages echoed to the debug log
};

Lines MakeLines(size_t count) {
  const std::string console[] = {
      gorvane::sjis::Text("SYS: グループ 3 への参加に成功しました ("),
      gorvane::sjis::Text("アリス> よろしくお願いします、ソロで遊びます #"),
      gorvane::sjis::Text("SYS: 表示の設定を保存しました ["),
      gorvane::sjis::Text("Bob> 次のゲームは 5 人で始めます、参加者募集中 No."),
  };
  const std::string debug[] = {
      "S_CHAT " + gorvane::sjis::Text("アリス> ソロ表示テスト "),
      "S_LIST,1:Alice:0,\"2:\"\"Bob X\"\":3\"," + gorvane::sjis::Text("3:ソフト:1,"),
      std::string("S_OPLAY,3,4,12,"),
      std::string("S_PLAYED,4,"),
  };
  Lines lines;
  lines.console.reserve(count);
  lines.kinds.reserve(count);
  lines.consoleShown.reserve(count);
  lines.debug.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string number = std::to_string(i * 7919 % 100000);
    lines.console.push_back(console[i % 4] + number + (i % 4 == 0 ? ")" : i % 4 == 2 ? "]" : ""));
    lines.kinds.push_back(static_cast<int>(i % 3));
    // The console puts "[hh:nn:ss] " in front; the baseline gets the same length.
    lines.consoleShown.push_back(QStringLiteral("[12:34:56] ") + gorvane::ToQString(lines.console.back()));
    lines.debug.push_back(debug[i % 4] + number);
  }
  return lines;
}

// The benchmark runs without a card list or settings beside it: whatever
// start-up would report must not stop it in a modal box.
struct SilentErrorBox : gorvane::ErrorBox {
  void ShowError(std::string_view) override {}
};

// Qt's own plain control, set up as a log area in the lobby console's place.
std::unique_ptr<QPlainTextEdit> ShownPlainConsole() {
  auto edit = std::make_unique<QPlainTextEdit>();
  edit->setReadOnly(true);
  edit->setUndoRedoEnabled(false);
  edit->setFocusPolicy(Qt::ClickFocus);
  edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  edit->setFont(gorvane::ConsoleFont());
  edit->resize(361, 241);
  edit->show();
  QCoreApplication::processEvents();
  return edit;
}

std::unique_ptr<gorvane::TForm1> ShownLobby() {
  static SilentErrorBox silent;
  auto form = std::make_unique<gorvane::TForm1>(&silent);
  form->show();
  QCoreApplication::processEvents();
  return form;
}

// One way of adding lines to one window.
struct Stream {
  std::function<void(size_t)> add;
  double seconds = 0;
  size_t lines = 0;
  double heapMiB = 0;

  // Adds lines [begin, end), giving the event loop a turn every batch lines.
  void Run(size_t begin, size_t end, size_t batch) {
    const double heapBefore = HeapMiB();
    const auto start = Clock::now();
    for (size_t i = begin; i < end; ++i) {
      add(i);
      if ((i + 1) % batch == 0) QCoreApplication::processEvents();
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    lines += end - begin;
    // Only this stream's window had anything to lay out or paint, so what
    // the heap gained belongs to its lines.
    heapMiB += HeapMiB() - heapBefore;
  }
  double Micros() const { return seconds * 1e6 / static_cast<double>(lines); }
};

// Streams take turns block by block, so a slow moment of the machine falls
// on all of them alike.
void TakeTurns(std::vector<Stream*> streams, size_t begin, size_t end, size_t block,
               const std::function<size_t(size_t streamIndex, size_t line)>& lineFor, size_t batch) {
  for (size_t at = begin, turn = 0; at < end; at += block, ++turn) {
    for (size_t k = 0; k < streams.size(); ++k) {
      const size_t s = (turn + k) % streams.size();
      streams[s]->Run(lineFor(s, at), lineFor(s, at) + block, batch);
    }
  }
}

// Milliseconds to add a line and show it (the event loop's turns included).
template <typename Add>
double ShownMs(Add add) {
  const auto start = Clock::now();
  add();
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One line without blanks: 1 MiB in the lobby console, and as a chat message
// through the window's receive path (the debug log echoes it whole too);
// 16 KiB in both that console and the plain control, for scale.
void HugeLines() {
  const std::string mib(1 << 20, 'w');
  const std::string small(16 << 10, 'w');
  const auto lobby = ShownLobby();
  const double consoleSmall = ShownMs([&] { lobby->PrintLobbyMessage(small, gorvane::kGreen); });
  const double consoleMib = ShownMs([&] { lobby->PrintLobbyMessage(mib, gorvane::kGreen); });
  std::string chat = "S_CHAT " + mib;
  chat += '\0';
  const double chatMib = ShownMs([&] { lobby->lobby().ClientSocket1Read(chat); });
  const auto plain = ShownPlainConsole();
  const double plainSmall = ShownMs([&] { plain->appendPlainText(QString::fromLatin1(small)); });
  const bool whole =
      lobby->RichEdit1->lines().size() == 3 && lobby->RichEdit1->lines().Text(2).size() == mib.size() + 11 &&
      lobby->Memo2->lines().Text(lobby->Memo2->lines().size() - 1).size() == chat.size() - 1 + 7;
  std::printf("huge line: 16 KiB without blanks: console %.1f ms, appendPlainText %.1f ms, ratio %.3f\n",
              consoleSmall, plainSmall, consoleSmall / plainSmall);
  std::printf("huge line: 1 MiB without blanks added and shown %.1f ms (goal <= 50 ms)%s\n", consoleMib,
              whole ? "" : " (NOT WHOLE)");
  std::printf("huge line: 1 MiB chat line through the receive path, console and debug log echo, %.1f ms\n",
              chatMib);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  constexpr size_t kBlock = 500;
  size_t lineCount = gorvane::bench::SmokeRun() ? 10 * kBlock : 100000;
  if (argc > 1) lineCount = std::strtoul(argv[1], nullptr, 10);
  // Up to the last tenth the long consoles are filled with a turn of the
  // event loop every this many lines: the memory and the layout end the
  // same, and the run stays short (a repaint per line costs several hundred
  // microseconds offscreen).
  constexpr size_t kFillBatch = 100;
  if (lineCount < 10 * kBlock || lineCount % (10 * kBlock) != 0) {
    std::fprintf(stderr, "console_bench: lines must be a multiple of %zu\n", 10 * kBlock);
    return 2;
  }
  const Lines lines = MakeLines(lineCount);
  const size_t tenth = lineCount / 10;
  std::printf(
      "console_bench: the last %zu of %zu lines (filled every %zu before) against the first %zu of a fresh "
      "window, each line repainted\n",
      tenth, lineCount, kFillBatch, tenth);

  // Fonts, glyph caches and the backing store come once per process; a
  // throwaway window pays for them before anything is measured.
  {
    const auto warmUp = ShownLobby();
    for (size_t i = 0; i < 1000; ++i) {
      warmUp->PrintLobbyMessage(lines.console[i], lines.kinds[i]);
      warmUp->debugLog().AppendLine(lines.debug[i]);
      QCoreApplication::processEvents();
    }
  }
  QCoreApplication::processEvents();
  malloc_trim(0);
  const double residentBefore = ResidentMiB();

  // The lobbies' consoles and debug logs are written through the program's
  // own path; the console of each plain lobby, set up identically, gets
  // appendPlainText of the same text as the console would show.
  const auto longLobby = ShownLobby();
  const auto longPlain = ShownPlainConsole();
  const auto freshLobby = ShownLobby();
  const auto freshPlain = ShownPlainConsole();
  const auto console = [&](gorvane::TForm1& form) {
    return [&](size_t i) { form.PrintLobbyMessage(lines.console[i], lines.kinds[i]); };
  };
  const auto debug = [&](gorvane::TForm1& form) {
    return [&](size_t i) { form.debugLog().AppendLine(lines.debug[i]); };
  };
  const auto plainConsole = [&](QPlainTextEdit& edit) {
    return [&](size_t i) { edit.appendPlainText(lines.consoleShown[i]); };
  };
  Stream fill[3] = {{console(*longLobby)}, {plainConsole(*longPlain)}, {debug(*longLobby)}};
  Stream last[3] = {{console(*longLobby)}, {plainConsole(*longPlain)}, {debug(*longLobby)}};
  Stream first[3] = {{console(*freshLobby)}, {plainConsole(*freshPlain)}, {debug(*freshLobby)}};

  TakeTurns(
      {&fill[0], &fill[1], &fill[2]}, 0, lineCount - tenth, kBlock, [](size_t, size_t line) { return line; },
      kFillBatch);
  TakeTurns(
      {&last[0], &first[0], &last[1], &first[1], &last[2], &first[2]}, 0, tenth, kBlock,
      [&](size_t s, size_t line) { return s % 2 == 0 ? lineCount - tenth + line : line; }, 1);

  const auto both = [&](size_t s) { return (first[s].Micros() + last[s].Micros()) / 2; };
  const auto growth = [&](size_t s) { return last[s].Micros() / first[s].Micros(); };
  const auto memory = [&](size_t s) {
    return (fill[s].heapMiB + last[s].heapMiB) * 100000.0 / static_cast<double>(lineCount);
  };
  std::printf("console: coloured line %.1f us, appendPlainText %.1f us, ratio %.2f (goal <= 0.5)\n", both(0),
              both(1), both(0) / both(1));
  std::printf("console: coloured last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f (goal <= 1.1)\n",
              tenth, last[0].Micros(), tenth, first[0].Micros(), growth(0));
  std::printf("console: appendPlainText last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f\n", tenth,
              last[1].Micros(), tenth, first[1].Micros(), growth(1));
  std::printf(
      "console: repainted every %zu lines: coloured line %.1f us, appendPlainText %.1f us, ratio %.2f\n",
      kFillBatch, fill[0].Micros(), fill[1].Micros(), fill[0].Micros() / fill[1].Micros());
  std::printf("debug log: last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f (goal <= 1.1)\n", tenth,
              last[2].Micros(), tenth, first[2].Micros(), growth(2));
  std::printf("console: memory per 100,000 lines %.1f MiB heap, appendPlainText %.1f MiB (goal <= 15 MiB)\n",
              memory(0), memory(1));
  std::printf("debug log: memory per 100,000 lines %.1f MiB heap\n", memory(2));
  std::printf("all logs: resident size grew %.1f MiB\n", ResidentMiB() - residentBefore);
  HugeLines();
  return 0;
}
