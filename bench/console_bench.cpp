// Cost of the lobby's consoles as a session fills them: the coloured console
// against the cheapest way a QPlainTextEdit takes a line, whether a line
// costs more once the console is long, and the memory a day of lines holds.
// Everything runs offscreen with the windows shown and the event loop given
// a turn after every line, as when messages arrive one by one.
//
// Usage: console_bench [lines]   (100000 unless given)
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QString>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qt_text.h"
#include "core/sjis.h"
#include "lobby/TForm1.h"

namespace {

using Clock = std::chrono::steady_clock;

// The console lines of a busy lobby, in code page 932, each with its own
// number so no two lines are alike.
struct Lines {
  std::vector<std::string> console;  // what PrintLobbyMessage gets
  std::vector<int> kinds;
  std::vector<QString> consoleShown;  // the same lines as the console shows them
  std::vector<std::string> debug;     // received messages echoed to the debug log
  std::vector<QString> debugShown;
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
  lines.debugShown.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string number = std::to_string(i * 7919 % 100000);
    lines.console.push_back(console[i % 4] + number + (i % 4 == 0 ? ")" : i % 4 == 2 ? "]" : ""));
    lines.kinds.push_back(static_cast<int>(i % 3));
    // The console puts "[hh:nn:ss] " in front; the baseline gets the same length.
    lines.consoleShown.push_back(QStringLiteral("[12:34:56] ") + gorvane::ToQString(lines.console.back()));
    lines.debug.push_back(debug[i % 4] + number);
    lines.debugShown.push_back(gorvane::ToQString(lines.debug.back()));
  }
  return lines;
}

struct Memory {
  double residentMiB = 0;
  double heapMiB = 0;
};

Memory MemoryNow() {
  Memory memory;
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  if (statm >> pages >> resident) {
    memory.residentMiB =
        static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
  }
  const struct mallinfo2 heap = mallinfo2();
  memory.heapMiB = static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0;
  return memory;
}

std::unique_ptr<gorvane::TForm1> ShownLobby() {
  auto form = std::make_unique<gorvane::TForm1>();
  form->show();
  QCoreApplication::processEvents();
  return form;
}

// One way of adding line i, with the time each block of lines took.
struct Stream {
  std::function<void(size_t)> add;
  std::vector<double> blockSeconds;

  double MicrosPerLine(size_t firstBlock, size_t endBlock, size_t linesPerBlock) const {
    double seconds = 0;
    for (size_t b = firstBlock; b < endBlock; ++b) seconds += blockSeconds[b];
    return seconds * 1e6 / static_cast<double>((endBlock - firstBlock) * linesPerBlock);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  const size_t lineCount = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  constexpr size_t kBlock = 500;
  // Between the measured tenths the consoles are filled with a turn of the
  // event loop every this many lines: the memory and the layout are the
  // same, and the run stays short (a repaint per line costs several
  // hundred microseconds offscreen).
  constexpr size_t kFillBatch = 100;
  if (lineCount < 10 * kBlock || lineCount % (10 * kBlock) != 0) {
    std::fprintf(stderr, "console_bench: lines must be a multiple of %zu\n", 10 * kBlock);
    return 2;
  }
  const Lines lines = MakeLines(lineCount);
  const size_t blocks = lineCount / kBlock;
  const size_t tenth = blocks / 10;
  std::printf(
      "console_bench: %zu lines per console; each of the first and last %zu lines repainted, "
      "the others every %zu lines\n",
      lineCount, tenth * kBlock, kFillBatch);

  // Fonts, glyph caches and the backing store come once per process; a
  // throwaway window pays for them before anything is measured.
  {
    const auto warmUp = ShownLobby();
    for (size_t i = 0; i < 2000; ++i) {
      warmUp->PrintLobbyMessage(lines.console[i], lines.kinds[i]);
      warmUp->debugLog().AppendLine(lines.debug[i]);
      QCoreApplication::processEvents();
    }
  }
  QCoreApplication::processEvents();

  // Memory: a fresh console filled alone, so nothing else grows meanwhile.
  // Freed pages go back first so that the resident size can only grow.
  {
    const auto lobby = ShownLobby();
    malloc_trim(0);
    const Memory before = MemoryNow();
    for (size_t i = 0; i < lineCount; ++i) {
      lobby->PrintLobbyMessage(lines.console[i], lines.kinds[i]);
      if ((i + 1) % kFillBatch == 0) QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const Memory after = MemoryNow();
    const double per100k = 100000.0 / static_cast<double>(lineCount);
    std::printf(
        "console: memory per 100,000 lines %.1f MiB resident, %.1f MiB heap in use (goal <= 60 MiB)\n",
        (after.residentMiB - before.residentMiB) * per100k, (after.heapMiB - before.heapMiB) * per100k);
    std::fflush(stdout);
  }
  QCoreApplication::processEvents();
  malloc_trim(0);

  // Time: the streams take turns block by block, so a slow moment of the
  // machine falls on all of them alike and every stream sees the same
  // lengths of document at about the same time.
  const auto lobby = ShownLobby();
  const auto plain = ShownLobby();  // an identical window, written to directly
  std::vector<Stream> streams = {
      {[&](size_t i) { lobby->PrintLobbyMessage(lines.console[i], lines.kinds[i]); }, {}},
      {[&](size_t i) { plain->RichEdit1->appendPlainText(lines.consoleShown[i]); }, {}},
      {[&](size_t i) { lobby->debugLog().AppendLine(lines.debug[i]); }, {}},
      {[&](size_t i) { plain->Memo2->appendPlainText(lines.debugShown[i]); }, {}},
  };
  for (Stream& stream : streams) stream.blockSeconds.resize(blocks);
  for (size_t b = 0; b < blocks; ++b) {
    const size_t batch = b < tenth || b >= blocks - tenth ? 1 : kFillBatch;
    for (size_t k = 0; k < streams.size(); ++k) {
      Stream& stream = streams[(b + k) % streams.size()];
      const auto start = Clock::now();
      for (size_t i = b * kBlock; i < (b + 1) * kBlock; ++i) {
        stream.add(i);
        if ((i + 1) % batch == 0) QCoreApplication::processEvents();
      }
      stream.blockSeconds[b] = std::chrono::duration<double>(Clock::now() - start).count();
    }
  }

  const size_t shown = tenth * kBlock;
  const auto first = [&](const Stream& s) { return s.MicrosPerLine(0, tenth, kBlock); };
  const auto last = [&](const Stream& s) { return s.MicrosPerLine(blocks - tenth, blocks, kBlock); };
  const auto repainted = [&](const Stream& s) { return (first(s) + last(s)) / 2; };
  const auto batched = [&](const Stream& s) { return s.MicrosPerLine(tenth, blocks - tenth, kBlock); };
  const Stream& coloured = streams[0];
  const Stream& plainConsole = streams[1];
  const Stream& debugLog = streams[2];
  const Stream& plainDebug = streams[3];

  std::printf("console: coloured line %.1f us, appendPlainText %.1f us, ratio %.2f (goal <= 1.1)\n",
              repainted(coloured), repainted(plainConsole), repainted(coloured) / repainted(plainConsole));
  std::printf("console: coloured last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f (goal <= 1.2)\n",
              shown, last(coloured), shown, first(coloured), last(coloured) / first(coloured));
  std::printf("console: appendPlainText last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f\n", shown,
              last(plainConsole), shown, first(plainConsole), last(plainConsole) / first(plainConsole));
  std::printf(
      "console: repainted every %zu lines: coloured line %.1f us, appendPlainText %.1f us, ratio %.2f\n",
      kFillBatch, batched(coloured), batched(plainConsole), batched(coloured) / batched(plainConsole));
  std::printf("debug log: line %.1f us, appendPlainText %.1f us, ratio %.2f\n", repainted(debugLog),
              repainted(plainDebug), repainted(debugLog) / repainted(plainDebug));
  std::printf("debug log: last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f (goal <= 1.2)\n", shown,
              last(debugLog), shown, first(debugLog), last(debugLog) / first(debugLog));
  std::printf("debug log: appendPlainText last %zu lines %.1f us, first %zu lines %.1f us, ratio %.2f\n",
              shown, last(plainDebug), shown, first(plainDebug), last(plainDebug) / first(plainDebug));
  return 0;
}
