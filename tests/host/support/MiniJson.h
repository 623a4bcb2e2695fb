// Just enough JSON reading to check what the host writes (panel listings, trace lines).
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_json {

struct Value {
  enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
  bool boolean = false;
  double number = 0.0;
  std::string string;
  std::vector<Value> array;
  std::map<std::string, Value> object;

  bool has(const std::string& key) const { return object.count(key) > 0; }
  const Value& operator[](const std::string& key) const
  {
    auto it = object.find(key);
    if (it == object.end()) throw std::runtime_error("no member " + key);
    return it->second;
  }
  const Value& operator[](std::size_t i) const { return array.at(i); }
  bool isNull() const { return type == Type::Null; }
};

class Parser {
public:
  explicit Parser(const std::string& text) : s_(text) {}

  Value parseDocument()
  {
    Value v = parse();
    skip();
    if (i_ != s_.size()) fail("trailing text");
    return v;
  }

private:
  [[noreturn]] void fail(const std::string& what) const
  {
    throw std::runtime_error("JSON: " + what + " at " + std::to_string(i_));
  }
  void skip()
  {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  bool take(const char* word)
  {
    const std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }
  Value parse()
  {
    skip();
    if (i_ >= s_.size()) fail("unexpected end");
    Value v;
    const char c = s_[i_];
    if (c == '{') {
      v.type = Value::Type::Object;
      ++i_;
      skip();
      if (s_[i_] == '}') { ++i_; return v; }
      for (;;) {
        skip();
        const std::string key = parseString();
        skip();
        if (s_[i_++] != ':') fail("expected ':'");
        v.object[key] = parse();
        skip();
        if (s_[i_] == ',') { ++i_; continue; }
        if (s_[i_++] != '}') fail("expected '}'");
        return v;
      }
    }
    if (c == '[') {
      v.type = Value::Type::Array;
      ++i_;
      skip();
      if (s_[i_] == ']') { ++i_; return v; }
      for (;;) {
        v.array.push_back(parse());
        skip();
        if (s_[i_] == ',') { ++i_; continue; }
        if (s_[i_++] != ']') fail("expected ']'");
        return v;
      }
    }
    if (c == '"') {
      v.type = Value::Type::String;
      v.string = parseString();
      return v;
    }
    if (take("true")) { v.type = Value::Type::Bool; v.boolean = true; return v; }
    if (take("false")) { v.type = Value::Type::Bool; return v; }
    if (take("null")) return v;
    char* end = nullptr;
    v.number = std::strtod(s_.c_str() + i_, &end);
    if (end == s_.c_str() + i_) fail("unexpected character");
    v.type = Value::Type::Number;
    i_ = std::size_t(end - s_.c_str());
    return v;
  }
  std::string parseString()
  {
    if (s_[i_++] != '"') fail("expected a string");
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c == '\\') {
        const char e = s_[i_++];
        switch (e) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case 'r': c = '\r'; break;
          case 'u': c = char(std::strtol(s_.substr(i_, 4).c_str(), nullptr, 16)); i_ += 4; break;
          default: c = e;
        }
      }
      out += c;
    }
    if (i_++ >= s_.size()) fail("unterminated string");
    return out;
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

inline Value parse(const std::string& text) { return Parser(text).parseDocument(); }

} // namespace test_json
