#include "runtime/NodeScript.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "DDImage/Knob.h"
#include "DDImageHost/KnobAccess.h"
#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/KnobValueText.h"

namespace host_runtime {
namespace {

bool needsQuotes(const std::string& v)
{
  if (v.empty())
    return true;
  for (char c : v)
    if (c == ' ' || c == '\t' || c == '"' || c == '\\' || c == '{' || c == '}' || c == '#' || c == '\n' || c == '\r')
      return true;
  return false;
}

std::string quoted(const std::string& v)
{
  if (!needsQuotes(v))
    return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\')
      out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + '"';
}

std::string trim(const std::string& s)
{
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos)
    return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

class ScriptReader {
public:
  ScriptReader(std::string sourceName) : source_(std::move(sourceName)) {}

  HostError error(int line, const std::string& what) const
  {
    return HostError(HostError::Kind::Script, source_ + ":" + std::to_string(line) + ": " + what);
  }

  // The value part of a knob line: a bare word or a quoted string, nothing after it.
  std::string value(const std::string& rest, int line) const
  {
    if (rest.empty())
      throw error(line, "missing value");
    if (rest[0] != '"') {
      if (rest.find_first_of(" \t\"{}") != std::string::npos)
        throw error(line, "a value with blanks must be quoted");
      return rest;
    }
    std::string out;
    std::size_t i = 1;
    for (; i < rest.size() && rest[i] != '"'; ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size()) {
        ++i;
        out += rest[i] == 'n' ? '\n' : rest[i];
      } else {
        out += rest[i];
      }
    }
    if (i >= rest.size())
      throw error(line, "unterminated quoted value");
    if (!trim(rest.substr(i + 1)).empty())
      throw error(line, "text after the quoted value");
    return out;
  }

private:
  std::string source_;
};

} // namespace

std::string writeNodeScript(const HostNode& node)
{
  std::ostringstream out;
  out << node.className() << " {\n";
  out << " name " << quoted(node.name()) << "\n";
  for (const DD::Image::host::KnobInfo& k : node.knobs()) {
    if (!DD::Image::host::holdsValue(k.kind) || !k.name || (k.flags & DD::Image::Knob::DO_NOT_WRITE))
      continue;
    out << " " << *k.name << " " << quoted(formatKnobValue(*k.knob)) << "\n";
  }
  out << "}\n";
  return out.str();
}

void readNodeScript(HostNode& node, const std::string& text, const std::string& sourceName)
{
  ScriptReader reader(sourceName);
  static const std::string kByteOrderMark = "\xEF\xBB\xBF";
  std::istringstream in(text.rfind(kByteOrderMark, 0) == 0 ? text.substr(kByteOrderMark.size()) : text);
  std::string raw;
  int lineNo = 0;
  bool opened = false, closed = false;
  std::string name;
  std::vector<std::pair<std::string, std::string>> values;
  while (std::getline(in, raw)) {
    ++lineNo;
    if (raw.find('\0') != std::string::npos)
      throw reader.error(lineNo, "a NUL byte, which no script holds (is it a text file?)");
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#')
      continue;
    if (closed)
      throw reader.error(lineNo, "text after the end of the node");
    if (!opened) {
      const auto space = line.find_first_of(" \t");
      const std::string cls = line.substr(0, space);
      if (space == std::string::npos || trim(line.substr(space)) != "{")
        throw reader.error(lineNo, "expected '<class> {'");
      if (cls != node.className())
        throw reader.error(lineNo, "the script is for class " + cls + ", not " + node.className());
      opened = true;
      continue;
    }
    if (line == "}") {
      closed = true;
      continue;
    }
    const auto space = line.find_first_of(" \t");
    if (space == std::string::npos)
      throw reader.error(lineNo, "missing value for " + line);
    const std::string key = line.substr(0, space);
    const std::string value = reader.value(trim(line.substr(space)), lineNo);
    if (key == "name") {
      name = value;
      continue;
    }
    try {
      DD::Image::Knob& k = node.knob(key);
      parseKnobValue(k, value); // checks it now, to name the line
    } catch (const HostError& e) {
      throw HostError(e.kind(), sourceName + ":" + std::to_string(lineNo) + ": " + e.what());
    }
    values.emplace_back(key, value);
  }
  if (!opened)
    throw reader.error(lineNo, "no node in the script");
  if (!closed)
    throw reader.error(lineNo, "missing '}' at the end of the node");
  node.setKnobs(values);
  if (!name.empty())
    node.rename(name);
}

std::string readNodeScriptFile(const std::string& path)
{
  namespace fs = std::filesystem;
  auto fail = [&path](const std::string& why) {
    return HostError(HostError::Kind::Script, "cannot read the script " + path + ": " + why);
  };
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status))
    throw fail("no such file");
  if (!fs::is_regular_file(status))
    throw fail("not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw fail("cannot open it");
  // Read at most one byte more than a script may have: the size may change while it is read.
  std::string text(kMaxNodeScriptBytes + 1, '\0');
  in.read(&text[0], std::streamsize(text.size()));
  if (in.bad())
    throw fail("read error");
  text.resize(std::size_t(in.gcount()));
  if (text.size() > kMaxNodeScriptBytes)
    throw fail("larger than " + std::to_string(kMaxNodeScriptBytes >> 20) + " MiB, which no script is");
  return text;
}

} // namespace host_runtime
