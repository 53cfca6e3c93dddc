#include "tools/common/headless/resource_script.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace {

struct Token {
  enum Kind { kName, kNumber, kString, kPunct } kind;
  std::string text;  // a string's text without quotes, escapes resolved
  long value = 0;
  std::string where;  // file:line, for errors
};

// Names the scripts take from the platform's resource headers.
const std::map<std::string, long> &BuiltinNames() {
  static const std::map<std::string, long> names = {
      {"WS_POPUP", WS_POPUP},
      {"WS_CHILD", WS_CHILD},
      {"WS_VISIBLE", WS_VISIBLE},
      {"WS_DISABLED", WS_DISABLED},
      {"WS_CAPTION", WS_CAPTION},
      {"WS_BORDER", WS_BORDER},
      {"WS_VSCROLL", WS_VSCROLL},
      {"WS_HSCROLL", WS_HSCROLL},
      {"WS_SYSMENU", WS_SYSMENU},
      {"WS_GROUP", WS_GROUP},
      {"WS_TABSTOP", WS_TABSTOP},
      {"WS_EX_APPWINDOW", WS_EX_APPWINDOW},
      {"DS_MODALFRAME", DS_MODALFRAME},
      {"DS_SETFONT", DS_SETFONT},
      {"DS_FIXEDSYS", DS_FIXEDSYS},
      {"DS_CENTER", DS_CENTER},
      {"BS_PUSHBUTTON", BS_PUSHBUTTON},
      {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
      {"BS_CHECKBOX", BS_CHECKBOX},
      {"BS_AUTOCHECKBOX", BS_AUTOCHECKBOX},
      {"BS_RADIOBUTTON", BS_RADIOBUTTON},
      {"BS_AUTORADIOBUTTON", BS_AUTORADIOBUTTON},
      {"SS_LEFT", SS_LEFT},
      {"SS_CENTER", SS_CENTER},
      {"SS_RIGHT", SS_RIGHT},
      {"SS_ICON", SS_ICON},
      {"SS_NOPREFIX", SS_NOPREFIX},
      {"CBS_SIMPLE", CBS_SIMPLE},
      {"CBS_DROPDOWN", CBS_DROPDOWN},
      {"CBS_DROPDOWNLIST", CBS_DROPDOWNLIST},
      {"CBS_SORT", CBS_SORT},
      {"CBS_AUTOHSCROLL", CBS_AUTOHSCROLL},
      {"IDOK", IDOK},
      {"IDCANCEL", IDCANCEL},
      {"LANG_ENGLISH", 0x09},
      {"SUBLANG_ENGLISH_UK", 0x02},
      {"SUBLANG_ENGLISH_US", 0x01},
      {"VS_VERSION_INFO", 1},
      {"CREATEPROCESS_MANIFEST_RESOURCE_ID", 1},
      {"RT_MANIFEST", 24},
  };
  return names;
}

class Preprocessor {
 public:
  explicit Preprocessor(const std::vector<std::string> &includeDirs) : includeDirs_(includeDirs) {}

  void Read(const std::string &path, int depth = 0) {
    if (depth > 16) throw ResourceScriptError(path + ": includes nest too deep");
    std::ifstream in(path);
    if (!in) throw ResourceScriptError("cannot read " + path);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      const std::string where = path + ":" + std::to_string(number);
      std::string text = StripComment(line);
      size_t start = text.find_first_not_of(" \t\r");
      if (start == std::string::npos) continue;
      if (text[start] == '#') {
        Directive(text.substr(start + 1), path, where, depth);
        continue;
      }
      for (Token &t : Tokenize(text, where)) Expand(t, 0);
    }
  }

  std::vector<Token> tokens;

 private:
  static std::string StripComment(const std::string &line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (!quoted && line.compare(i, 2, "//") == 0) return line.substr(0, i);
    }
    return line;
  }

  void Directive(const std::string &text, const std::string &path, const std::string &where,
                 int depth) {
    std::istringstream in(text);
    std::string word;
    in >> word;
    if (word == "pragma") return;
    if (word == "define") {
      std::string name;
      in >> name;
      std::string rest;
      std::getline(in, rest);
      if (name.empty() || name.find('(') != std::string::npos)
        throw ResourceScriptError(where + ": only object-like #define is supported");
      macros_[name] = Tokenize(rest, where);
      return;
    }
    if (word == "include") {
      std::string rest;
      std::getline(in, rest);
      size_t open = rest.find_first_of("\"<");
      if (open == std::string::npos) throw ResourceScriptError(where + ": bad #include");
      if (rest[open] == '<') return;  // platform headers: their names are built in
      size_t close = rest.find('"', open + 1);
      if (close == std::string::npos) throw ResourceScriptError(where + ": bad #include");
      Read(Find(rest.substr(open + 1, close - open - 1), path, where), depth + 1);
      return;
    }
    throw ResourceScriptError(where + ": unsupported directive #" + word);
  }

  std::string Find(const std::string &name, const std::string &from, const std::string &where) {
    std::vector<std::string> dirs;
    size_t slash = from.find_last_of('/');
    dirs.push_back(slash == std::string::npos ? "." : from.substr(0, slash));
    dirs.insert(dirs.end(), includeDirs_.begin(), includeDirs_.end());
    for (const std::string &dir : dirs) {
      std::string candidate = dir + "/" + name;
      if (std::ifstream(candidate)) return candidate;
    }
    throw ResourceScriptError(where + ": cannot find include file " + name);
  }

  static std::vector<Token> Tokenize(const std::string &text, const std::string &where) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < text.size()) {
      char c = text[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
      } else if (c == '"') {
        std::string s;
        ++i;
        while (true) {
          if (i >= text.size()) throw ResourceScriptError(where + ": unterminated string");
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {  // "" is a quote
              s += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (text[i] == '\\' && i + 1 < text.size()) {
            char e = text[i + 1];
            s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            i += 2;
            continue;
          }
          s += text[i++];
        }
        out.push_back({Token::kString, s, 0, where});
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        size_t end = i;
        while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
        std::string digits = text.substr(i, end - i);
        while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l')) digits.pop_back();
        size_t used = 0;
        long value = 0;
        try {
          value = std::stol(digits, &used, 0);
        } catch (const std::exception &) {
          used = 0;
        }
        if (used != digits.size()) throw ResourceScriptError(where + ": bad number " + digits);
        out.push_back({Token::kNumber, digits, value, where});
        i = end;
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t end = i;
        while (end < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
          ++end;
        out.push_back({Token::kName, text.substr(i, end - i), 0, where});
        i = end;
      } else if (std::string(",|()+-").find(c) != std::string::npos) {
        out.push_back({Token::kPunct, std::string(1, c), 0, where});
        ++i;
      } else {
        throw ResourceScriptError(where + ": unexpected character '" + std::string(1, c) + "'");
      }
    }
    return out;
  }

  void Expand(const Token &t, int depth) {
    auto macro = t.kind == Token::kName ? macros_.find(t.text) : macros_.end();
    if (macro == macros_.end() || depth > 16) {
      tokens.push_back(t);
      return;
    }
    for (Token inner : macro->second) {
      inner.where = t.where;
      Expand(inner, depth + 1);
    }
  }

  const std::vector<std::string> &includeDirs_;
  std::map<std::string, std::vector<Token>> macros_;
};

std::u16string Widen(const std::string &text) { return std::u16string(text.begin(), text.end()); }

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  ResourceScript Parse() {
    ResourceScript script;
    while (!AtEnd()) {
      if (IsName("LANGUAGE")) {
        Next();
        long primary = Expression();
        Expect(",");
        script.language = static_cast<unsigned>(primary | (Expression() << 10));
      } else if (IsName("STRINGTABLE")) {
        Next();
        ExpectName("BEGIN");
        while (!IsName("END")) {
          auto id = static_cast<UINT>(Expression());
          if (IsPunct(",")) Next();
          script.strings[id] = Widen(String());
        }
        Next();
      } else {
        auto name = static_cast<UINT>(Expression());
        if (IsName("DIALOGEX")) {
          Next();
          script.dialogs[name] = Dialog();
        } else if (IsName("ICON")) {
          Next();
          String();
          script.icons.insert(name);
        } else if (IsName("VERSIONINFO")) {
          SkipBlock();
        } else {
          Expression();  // a resource type taken from a file
          String();
        }
      }
    }
    return script;
  }

 private:
  bool AtEnd() const { return pos_ >= tokens_.size(); }
  const Token &Peek() const {
    if (AtEnd()) throw ResourceScriptError("unexpected end of the resource script");
    return tokens_[pos_];
  }
  const Token &Next() {
    const Token &t = Peek();
    ++pos_;
    return t;
  }
  bool IsName(const char *name) const {
    return !AtEnd() && tokens_[pos_].kind == Token::kName && tokens_[pos_].text == name;
  }
  bool IsPunct(const char *p) const {
    return !AtEnd() && tokens_[pos_].kind == Token::kPunct && tokens_[pos_].text == p;
  }
  [[noreturn]] void Fail(const std::string &what) const {
    throw ResourceScriptError((AtEnd() ? std::string("end") : Peek().where) + ": " + what);
  }
  void Expect(const char *p) {
    if (!IsPunct(p)) Fail(std::string("expected '") + p + "'");
    Next();
  }
  void ExpectName(const char *name) {
    if (!IsName(name)) Fail(std::string("expected ") + name);
    Next();
  }
  std::string String() {
    if (AtEnd() || Peek().kind != Token::kString) Fail("expected a string");
    return Next().text;
  }
  long Primary() {
    const Token &t = Next();
    if (t.kind == Token::kNumber) return t.value;
    if (t.kind == Token::kPunct && t.text == "-") return -Primary();
    if (t.kind == Token::kPunct && t.text == "(") {
      long v = Expression();
      Expect(")");
      return v;
    }
    if (t.kind == Token::kName) {
      auto builtin = BuiltinNames().find(t.text);
      if (builtin != BuiltinNames().end()) return builtin->second;
    }
    throw ResourceScriptError(t.where + ": unknown name or bad expression '" + t.text + "'");
  }
  // Terms joined by | or +; "NOT x" clears x from what the terms before it set.
  long Expression(long start = 0) {
    long value = start;
    bool first = true;
    while (true) {
      if (!first) {
        if (!IsPunct("|") && !IsPunct("+")) return value;
        Next();
      }
      first = false;
      if (IsName("NOT")) {
        Next();
        value &= ~Primary();
      } else {
        value |= Primary();
      }
    }
  }
  int Number() { return static_cast<int>(Expression()); }

  DialogTemplate Dialog() {
    DialogTemplate d;
    d.x = Number();
    Expect(",");
    d.y = Number();
    Expect(",");
    d.cx = Number();
    Expect(",");
    d.cy = Number();
    if (IsPunct(",")) {  // help id
      Next();
      Number();
    }
    while (!IsName("BEGIN")) {
      if (IsName("STYLE")) {
        Next();
        d.style = static_cast<DWORD>(Expression());
      } else if (IsName("EXSTYLE")) {
        Next();
        d.exStyle = static_cast<DWORD>(Expression());
      } else if (IsName("CAPTION")) {
        Next();
        d.caption = Widen(String());
      } else if (IsName("FONT")) {
        Next();
        d.fontSize = Number();
        Expect(",");
        d.fontFace = Widen(String());
        while (IsPunct(",")) {  // weight, italic, character set
          Next();
          Number();
        }
      } else {
        Fail("unsupported dialog statement");
      }
    }
    if (!d.fontFace.empty()) d.style |= DS_SETFONT;
    Next();
    while (!IsName("END")) {
      ExpectName("CONTROL");
      ControlTemplate c;
      if (!AtEnd() && Peek().kind == Token::kString)
        c.text = Widen(String());
      else
        c.textResource = Number();
      Expect(",");
      c.id = Number();
      Expect(",");
      c.className = Lower(String());
      Expect(",");
      c.style = static_cast<DWORD>(Expression(WS_CHILD | WS_VISIBLE));
      Expect(",");
      c.x = Number();
      Expect(",");
      c.y = Number();
      Expect(",");
      c.cx = Number();
      Expect(",");
      c.cy = Number();
      if (IsPunct(",")) {
        Next();
        c.exStyle = static_cast<DWORD>(Expression());
      }
      d.controls.push_back(c);
    }
    Next();
    return d;
  }

  void SkipBlock() {
    while (!IsName("BEGIN")) Next();
    int depth = 0;
    do {
      if (IsName("BEGIN")) ++depth;
      if (IsName("END")) --depth;
      Next();
    } while (depth > 0);
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

}  // namespace

ResourceScript LoadResourceScript(const std::string &path,
                                  const std::vector<std::string> &includeDirs) {
  Preprocessor pre(includeDirs);
  pre.Read(path);
  return Parser(std::move(pre.tokens)).Parse();
}
