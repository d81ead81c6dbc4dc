// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/http/status_page.h"

#include <algorithm>
#include <ctime>

#include "spine/sjis.h"

namespace gorvane::server {
namespace {

// Small enough to read on a phone: one column, tables that wrap their
// cells, the two rankings side by side only where there is room.
constexpr std::string_view kHead =
    "<!DOCTYPE html>\n"
    "<html lang=\"ja\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    // Read again every few seconds without a script: the page may not run one.
    "<meta http-equiv=\"refresh\" content=\"5\">\n"
    "<title>Gorvane サーバの様子</title>\n"
    "<style>\n"
    "body{margin:0 auto;max-width:60rem;padding:.75rem;font-family:sans-serif;line-height:1.5;"
    "color:#222;background:#f6f4ef}\n"
    "h1{font-size:1.4rem;margin:.25rem 0}\n"
    "h2{font-size:1.1rem;margin:0 0 .5rem;border-bottom:2px solid #b08d57}\n"
    "h3{font-size:1rem;margin:0 0 .25rem}\n"
    "section{background:#fff;border-radius:6px;padding:.75rem;margin:.75rem 0;"
    "box-shadow:0 1px 2px rgba(0,0,0,.12)}\n"
    ".note{color:#666;font-size:.85rem;margin:0}\n"
    ".count{font-weight:normal;color:#666;font-size:.9rem;margin-left:.5rem}\n"
    "ul.names{list-style:none;margin:0;padding:0;display:flex;flex-wrap:wrap;gap:.35rem}\n"
    "ul.names li{background:#eee7da;border-radius:4px;padding:0 .5rem;overflow-wrap:anywhere}\n"
    "table{border-collapse:collapse;width:100%}\n"
    "th,td{text-align:left;padding:.2rem .4rem;border-bottom:1px solid #e4e0d8;"
    "overflow-wrap:anywhere;vertical-align:top}\n"
    "th{font-size:.85rem;color:#555;font-weight:normal;white-space:nowrap}\n"
    "td.k{white-space:nowrap}\n"
    "td.n,th.n{text-align:right;white-space:nowrap}\n"
    ".playing{color:#a33;font-weight:bold}\n"
    ".boards{display:flex;flex-wrap:wrap;gap:1rem}\n"
    ".boards>div{flex:1 1 18rem;min-width:0}\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<h1>Gorvane サーバ</h1>\n";

void Escape(std::string& out, std::string_view utf8) {
  for (const char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

std::string Number(int64_t value) {
  // Thousands apart, as amounts are easier read.
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const std::string digits = std::to_string(magnitude);
  std::string out = value < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Name(std::string_view cp932) { return cp932.empty() ? "（退出）" : HtmlText(cp932); }

// "<h2>title<span class=count>shown</span></h2>"
void Heading(std::string& out, std::string_view title, std::string_view count) {
  out += "<h2>";
  out += title;
  out += "<span class=\"count\">";
  out += count;
  out += "</span></h2>\n";
}

// "(first N shown)" when the list was cut.
void MoreNote(std::string& out, size_t shown, size_t total) {
  if (shown >= total) return;
  out += "<p class=\"note\">最初の " + std::to_string(shown) + " 件を表示しています。</p>\n";
}

void Users(std::string& out, const LobbySnapshot& lobby) {
  out += "<section id=\"users\">\n";
  Heading(out, "オンラインのユーザ", std::to_string(lobby.usersOnline) + " 人");
  if (lobby.names.empty())
    out += "<p class=\"note\">いまは誰もいません。</p>\n";
  else {
    out += "<ul class=\"names\">";
    for (const std::string& name : lobby.names) out += "<li>" + HtmlText(name) + "</li>";
    out += "</ul>\n";
  }
  MoreNote(out, lobby.names.size(), lobby.usersOnline);
  out += "</section>\n";
}

void Parties(std::string& out, const LobbySnapshot& lobby) {
  out += "<section id=\"parties\">\n";
  Heading(out, "パーティ", std::to_string(lobby.partyCount));
  if (lobby.parties.empty())
    out += "<p class=\"note\">パーティはありません。</p>\n";
  else {
    out +=
        "<table><thead><tr><th>番号</th><th>リーダー</th><th class=\"n\">人数</th><th>状態</th></tr></thead>"
        "<tbody>\n";
    for (const auto& party : lobby.parties) {
      out += "<tr><td class=\"k\">" + std::to_string(party.number) + "番</td><td>" + Name(party.leader) +
             "</td><td class=\"n\">" + std::to_string(party.members) + " 人</td><td class=\"k\">" +
             (party.playing ? "<span class=\"playing\">対戦中</span>" : "メンバー募集中") + "</td></tr>\n";
    }
    out += "</tbody></table>\n";
  }
  MoreNote(out, lobby.parties.size(), lobby.partyCount);
  out += "</section>\n";
}

void Games(std::string& out, const LobbySnapshot& lobby) {
  out += "<section id=\"games\">\n";
  Heading(out, "対戦中のゲーム", std::to_string(lobby.gameCount));
  if (lobby.games.empty())
    out += "<p class=\"note\">対戦中のゲームはありません。</p>\n";
  else {
    out +=
        "<table><thead><tr><th>パーティ</th><th>プレイヤー</th><th>手番</th><th class=\"n\">山札</th></tr>"
        "</thead><tbody>\n";
    for (const auto& game : lobby.games) {
      std::string players;
      for (const std::string& player : game.players) players += (players.empty() ? "" : "、") + Name(player);
      out += "<tr><td class=\"k\">" + std::to_string(game.party) + "番</td><td>" + players + "</td><td>" +
             Name(game.turn) + "</td><td class=\"n\">" + std::to_string(game.deckLeft) + " 枚</td></tr>\n";
    }
    out += "</tbody></table>\n";
  }
  MoreNote(out, lobby.games.size(), lobby.gameCount);
  out += "</section>\n";
}

// Equal amounts share a place; the next place counts everybody above it.
void Board(std::string& out, std::string_view title, const std::vector<Ranked>& leaders, RankBy by) {
  out += "<div><h3>";
  out += title;
  out += "</h3>\n";
  if (leaders.empty()) {
    out += "<p class=\"note\">まだ記録がありません。</p></div>\n";
    return;
  }
  out +=
      "<table><thead><tr><th class=\"n\">順位</th><th>名前</th><th class=\"n\">獲得賞金</th>"
      "<th class=\"n\">勝利数</th></tr></thead><tbody>\n";
  const auto key = [by](const Ranked& ranked) {
    return by == RankBy::kPrize ? ranked.statistics.prize : ranked.statistics.wins;
  };
  size_t place = 0;
  for (size_t i = 0; i < leaders.size(); ++i) {
    if (i == 0 || key(leaders[i]) != key(leaders[i - 1])) place = i + 1;
    out += "<tr><td class=\"n\">" + std::to_string(place) + "</td><td>" + HtmlText(leaders[i].login) +
           "</td><td class=\"n\">" + Number(leaders[i].statistics.prize) + "</td><td class=\"n\">" +
           Number(leaders[i].statistics.wins) + "</td></tr>\n";
  }
  out += "</tbody></table></div>\n";
}

void Rankings(std::string& out, const Leaderboard& leaders) {
  out += "<section id=\"ranking\">\n<h2>ランキング<span class=\"count\">上位 " + std::to_string(kLeaders) +
         " 人</span></h2>\n";
  if (!leaders.read) {
    out += "<p class=\"note\">データベースから読めないため、いまは表示できません。</p>\n</section>\n";
    return;
  }
  out += "<div class=\"boards\">\n";
  Board(out, "獲得賞金", leaders.byPrize, RankBy::kPrize);
  Board(out, "勝利数", leaders.byWins, RankBy::kWins);
  out += "</div>\n</section>\n";
}

}  // namespace

namespace {

// A port of 1 to 65535 in decimal.
bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// Whether the address ends in its own port.
bool HasPort(std::string_view text) {
  if (text.starts_with('[')) return text.find("]:") != std::string_view::npos;
  return std::count(text.begin(), text.end(), ':') == 1;
}

}  // namespace

bool IsPublicAddress(std::string_view text) {
  if (text.empty() || text.size() > 255) return false;
  for (const char c : text) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && std::string_view(".-_:[]").find(c) == std::string_view::npos) return false;
  }
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    const std::string_view rest = text.substr(close + 1);
    return rest.empty() || (rest.starts_with(':') && IsPort(rest.substr(1)));
  }
  if (text.find_first_of("[]") != std::string_view::npos) return false;
  if (!HasPort(text)) return true;
  const size_t colon = text.find(':');
  return colon > 0 && IsPort(text.substr(colon + 1));
}

std::string PlayersAddress(std::string_view publicAddress, std::string_view listenAddress, uint16_t port) {
  const std::string_view host = publicAddress.empty() ? listenAddress : publicAddress;
  if (!publicAddress.empty() && HasPort(host)) return std::string(host);
  const bool bare6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  return (bare6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

namespace {

void Address(std::string& out, std::string_view players) {
  if (players.empty()) return;
  out += "<p>接続先: <code>";
  Escape(out, players);
  out += "</code></p>\n";
}

}  // namespace

std::string HtmlText(std::string_view cp932) {
  std::string out;
  Escape(out, sjis::ToUtf8(cp932));
  return out;
}

std::string StatusPage(const LobbySnapshot& lobby, const Leaderboard& leaders, std::string_view players) {
  std::string out(kHead);
  out.reserve(out.size() +
              64 * (lobby.names.size() + lobby.parties.size() + lobby.games.size() + 2 * kLeaders));
  const std::time_t taken = std::chrono::system_clock::to_time_t(lobby.taken);
  std::tm local{};
  char when[32] = "";
  if (localtime_r(&taken, &local) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  Address(out, players);
  if (!lobby.keyFingerprint.empty()) {
    out += "<p>暗号化接続（TLS）の鍵のフィンガープリント (SHA-256): <code>";
    Escape(out, lobby.keyFingerprint);
    out += "</code></p>\n";
  }
  out += "<p class=\"note\">" + std::string(when) +
         " 現在。数字は 1 秒ごとに新しくなり、このページは 5 秒ごとに読み直されます。</p>\n";
  Users(out, lobby);
  Parties(out, lobby);
  Games(out, lobby);
  Rankings(out, leaders);
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace gorvane::server
