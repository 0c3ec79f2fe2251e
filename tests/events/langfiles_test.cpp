// Checks the event language files installed beside the daemon
// (install/language/<language>/event-common.ini and event-ups.ini): their
// layout, the "%s" places each raiser fills, the characters the logs, mails,
// SMS and web pages can carry, and that levels agree across the languages.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kLanguageDir =
    fs::path(__FILE__).parent_path().parent_path().parent_path() / "install" / "language";

constexpr std::array<const char*, 4> kLanguages = {"English", "Traditional Chinese",
                                                   "Simplified Chinese", "Polish"};
enum { kEnglish, kTraditional, kSimplified, kPolish };

constexpr int kSystemEvents = 40;
constexpr int kUpsEvents = 190;

// Number of string arguments each system event's raiser passes.
constexpr std::array<int, kSystemEvents> kSystemArgs = {
    0, 0, 2, 1, 0, 0, 1, 0, 0, 0,  // 0..9
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 10..19
    0, 0, 0, 0, 0, 0, 0, 0, 2, 2,  // 20..29
    2, 2, 2, 2, 0, 0, 1, 2, 1, 1,  // 30..39
};

// UPS entries 120 + 2j are power-module alarms, formatted with the module name.
bool IsModuleAlarm(int e) { return e >= 120 && e % 2 == 0; }
int UpsArgs(int e) { return IsModuleAlarm(e) ? 1 : 0; }

struct Entry {
  std::string text;
  int level = -1;
};

struct EventFile {
  std::vector<Entry> entries;
  std::string error;  // empty when the file is well formed
};

// Reads a file in the layout the service itself writes back: one section
// line, then "name<N>=" and "level<N>=" for N = 1..count in order, LF line
// ends. The service reads lines into a 256-byte buffer, so a line with its
// LF must fit in 255 bytes.
EventFile ReadEventFile(const fs::path& path, int count) {
  EventFile f;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    f.error = "cannot open";
    return f;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string data = ss.str();
  if (data.empty() || data.back() != '\n') {
    f.error = "does not end with a line feed";
    return f;
  }
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < data.size();) {
    size_t end = data.find('\n', pos);
    if (end + 1 - pos > 255) {
      f.error = "line " + std::to_string(lines.size() + 1) + " longer than 255 bytes";
      return f;
    }
    lines.push_back(data.substr(pos, end - pos));
    pos = end + 1;
  }
  if (lines.size() != size_t(1 + 2 * count)) {
    f.error = "has " + std::to_string(lines.size()) + " lines";
    return f;
  }
  if (lines[0].size() < 3 || lines[0].front() != '[' || lines[0].back() != ']') {
    f.error = "first line is not a section line";
    return f;
  }
  for (int n = 1; n <= count; ++n) {
    const std::string& name = lines[2 * n - 1];
    const std::string& level = lines[2 * n];
    const std::string nameKey = "name" + std::to_string(n) + "=";
    const std::string levelKey = "level" + std::to_string(n) + "=";
    if (name.rfind(nameKey, 0) != 0 || level.rfind(levelKey, 0) != 0) {
      f.error = "entry " + std::to_string(n) + " is not a name/level pair";
      return f;
    }
    std::string value = level.substr(levelKey.size());
    if (value.size() != 1 || value[0] < '0' || value[0] > '3') {
      f.error = "entry " + std::to_string(n) + " has level '" + value + "'";
      return f;
    }
    f.entries.push_back({name.substr(nameKey.size()), value[0] - '0'});
  }
  return f;
}

// Code points of a strictly valid UTF-8 text, or -1.
int Utf8Length(std::string_view s) {
  int n = 0;
  for (size_t i = 0; i < s.size(); ++n) {
    unsigned char c = s[i];
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return -1;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      unsigned char d = s[i + k];
      if ((d & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += len;
  }
  return n;
}

// What is wrong with one text, or "" when it is fine. args = the number of
// "%s" places its raiser fills.
std::string TextProblem(std::string_view t, int args, bool ups) {
  if (t.empty()) return "empty";
  if (t.front() == ' ' || t.back() == ' ') return "leading or trailing blank";
  int chars = Utf8Length(t);
  if (chars < 0) return "not valid UTF-8";
  // The texts are the formats of 256-byte log texts and of 128-byte module rows.
  if (t.size() > 127) return "longer than 127 bytes";
  int places = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    unsigned char c = t[i];
    if (c < 0x20 || c == 0x7F) return "control character";
    if (c == '%') {
      if (i + 1 == t.size() || t[i + 1] != 's') return "'%' other than %s";
      ++places;
    }
    // The web pages place texts unescaped into HTML and script strings.
    if (std::string_view("'\"<>&").find(char(c)) != std::string_view::npos)
      return std::string("character ") + char(c);
    // The event-level page drops the parenthesised part of a UPS text.
    if (ups && (c == '(' || c == ')')) return "parenthesis";
  }
  if (places != args)
    return std::to_string(places) + " %s places, expected " + std::to_string(args);
  // An SMS in UCS-2 carries 64 characters: "hh:mm:ss " and the text.
  if (args == 0 && chars > 55) return "longer than 55 characters";
  return "";
}

struct Language {
  EventFile common, ups;
};

const Language& Load(int lang) {
  static std::array<Language, kLanguages.size()> cache;
  static std::array<bool, kLanguages.size()> loaded{};
  if (!loaded[lang]) {
    fs::path dir = kLanguageDir / kLanguages[lang];
    cache[lang].common = ReadEventFile(dir / "event-common.ini", kSystemEvents);
    cache[lang].ups = ReadEventFile(dir / "event-ups.ini", kUpsEvents);
    loaded[lang] = true;
  }
  return cache[lang];
}

struct FileKind {
  const char* file;
  EventFile Language::*member;
  int count;
  int (*args)(int);
  bool ups;
};
const FileKind kFiles[] = {
    {"event-common.ini", &Language::common, kSystemEvents, [](int n) { return kSystemArgs[n]; }, false},
    {"event-ups.ini", &Language::ups, kUpsEvents, UpsArgs, true},
};

TEST(LanguageFiles, EveryEntryHasAUsableTextAndLevel) {
  for (int lang = 0; lang < int(kLanguages.size()); ++lang) {
    for (const FileKind& k : kFiles) {
      SCOPED_TRACE(std::string(kLanguages[lang]) + "/" + k.file);
      const EventFile& f = Load(lang).*k.member;
      ASSERT_EQ(f.error, "");
      ASSERT_EQ(f.entries.size(), size_t(k.count));
      for (int n = 0; n < k.count; ++n)
        EXPECT_EQ(TextProblem(f.entries[n].text, k.args(n), k.ups), "")
            << "entry " << n << ": " << f.entries[n].text;
    }
  }
}

// Characters written differently in the two Chinese scripts: simplified, traditional.
constexpr std::pair<std::string_view, std::string_view> kScriptPairs[] = {
    {"电", "電"}, {"关", "關"}, {"机", "機"}, {"网", "網"}, {"户", "戶"}, {"统", "統"},
    {"态", "態"}, {"测", "測"}, {"试", "試"}, {"启", "啟"}, {"动", "動"}, {"过", "過"},
    {"压", "壓"}, {"务", "務"}, {"块", "塊"}, {"组", "組"}, {"断", "斷"}, {"结", "結"},
    {"复", "復"}, {"开", "開"}, {"闭", "閉"}, {"码", "碼"}, {"录", "錄"}, {"从", "從"},
};

TEST(LanguageFiles, TranslationsKeepTheLevelsAndTranslateEveryText) {
  for (int lang = kTraditional; lang <= kPolish; ++lang) {
    for (const FileKind& k : kFiles) {
      SCOPED_TRACE(std::string(kLanguages[lang]) + "/" + k.file);
      const EventFile& en = Load(kEnglish).*k.member;
      const EventFile& tr = Load(lang).*k.member;
      ASSERT_EQ(en.entries.size(), size_t(k.count));
      ASSERT_EQ(tr.entries.size(), size_t(k.count));
      bool diacritic = false;
      for (int n = 0; n < k.count; ++n) {
        const std::string& text = tr.entries[n].text;
        EXPECT_EQ(tr.entries[n].level, en.entries[n].level) << "entry " << n;
        EXPECT_NE(text, en.entries[n].text) << "entry " << n << " is not translated";
        for (auto [simplified, traditional] : kScriptPairs) {
          if (lang == kTraditional) {
            EXPECT_EQ(text.find(simplified), std::string::npos) << "entry " << n << ": " << text;
          }
          if (lang == kSimplified) {
            EXPECT_EQ(text.find(traditional), std::string::npos) << "entry " << n << ": " << text;
          }
        }
        for (std::string_view d : {"ą", "ć", "ę", "ł", "ń", "ó", "ś", "ź", "ż"})
          diacritic |= text.find(d) != std::string::npos;
      }
      if (lang == kPolish) {
        EXPECT_TRUE(diacritic) << "Polish texts without diacritics";
      }
    }
  }
}

// Conditions that drive the shutdown reactions or need attention must reach
// the log, traps and mail: a UPS event of level 0 is processed silently.
TEST(LanguageFiles, AlarmsAreNeverSilent) {
  const EventFile& ups = Load(kEnglish).ups;
  const EventFile& sys = Load(kEnglish).common;
  ASSERT_EQ(ups.entries.size(), size_t(kUpsEvents));
  ASSERT_EQ(sys.entries.size(), size_t(kSystemEvents));

  struct MinLevel {
    int bit, level;
  };
  // over temperature, input failure, overload, internal failure, EPO, battery
  // low, battery depleted, on bypass, discharging, communication lost
  constexpr MinLevel kBegins[] = {{0, 3}, {1, 2}, {3, 2}, {11, 3}, {18, 3},
                                  {28, 2}, {29, 3}, {34, 2}, {37, 2}, {46, 2}};
  for (auto [bit, level] : kBegins) EXPECT_GE(ups.entries[2 * bit].level, level) << "bit " << bit;

  // Every warning or worse gets an all-clear that is not silent either.
  for (int bit = 0; bit < 54; ++bit) {
    if (ups.entries[2 * bit].level >= 2) {
      EXPECT_GE(ups.entries[2 * bit + 1].level, 1) << "bit " << bit;
    }
  }

  // The test mail and the replacement notice are only mailed, and mail takes
  // level 1 and above; failed logins and lock-outs are warnings.
  constexpr MinLevel kSystem[] = {{34, 1}, {35, 1}, {37, 2}, {38, 2}, {39, 2}};
  for (auto [code, level] : kSystem) EXPECT_GE(sys.entries[code].level, level) << "event " << code;
}

}  // namespace
