// JSON reader: the value nodes. Every node reads its own text while it is
// constructed; objects and arrays construct their children the same way.
#include "JSONParser.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Nesting depth of the objects and arrays being built on this thread. The
// recursion runs on the constructing thread's stack, so that is the depth to
// bound; documents read on other threads have counts of their own.
thread_local int t_nDepth = 0;

// Counts one level of nesting for the lifetime of a Parse call.
class CDepthGuard {
 public:
  CDepthGuard() { ++t_nDepth; }
  ~CDepthGuard() { --t_nDepth; }
  CDepthGuard(const CDepthGuard&) = delete;
  CDepthGuard& operator=(const CDepthGuard&) = delete;
  // True when this level lies past the bound.
  bool TooDeep() const { return t_nDepth > kJSONMaxDepth; }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---- JSONNode ----

JSONNode::JSONNode(JSONStream* stream) : m_pStream(stream), m_nType(JSONTypeUndefined) {}

JSONNode::~JSONNode() {}

char JSONNode::ReadNextChar(std::int32_t skip) {
  if (m_pStream == nullptr) return 0;
  char c = m_pStream->ReadNextChar();
  if (skip != 0) {
    // Only space and line feed count as whitespace; tab and carriage return
    // do not.
    while (c == ' ' || c == '\n') c = m_pStream->ReadNextChar();
  }
  return c;
}

void JSONNode::SetNextChar(char c) {
  if (m_pStream != nullptr) m_pStream->SetNextChar(c);
}

JSONNode* JSONNode::ReadValueNode() {
  const char c = ReadNextChar(1);
  SetNextChar(c);
  switch (c) {
    case '"':
      return new JSONString(m_pStream);
    case '{':
      return new JSONObject(m_pStream);
    case '[':
      return new JSONArray(m_pStream);
    case 't':
      return new JSONTrue(m_pStream);
    case 'f':
      return new JSONFalse(m_pStream);
    case 'n':
      return new JSONNull(m_pStream);
    default:
      return new JSONNumber(m_pStream);
  }
}

std::int32_t JSONNode::GetType() { return m_nType; }

// ---- JSONObject ----

JSONObject::JSONObject(JSONStream* stream) : JSONNode(stream) {
  m_nType = JSONTypeObject;
  try {
    Parse();
  } catch (...) {
    // Out of memory mid-document: the members read so far are not leaked.
    for (auto& member : m_mapValues) delete member.second;
    throw;
  }
}

JSONObject::~JSONObject() {
  for (auto& member : m_mapValues) delete member.second;
}

void JSONObject::Parse() {
  if (m_pStream == nullptr) return;
  CDepthGuard depth;
  if (depth.TooDeep()) return;  // the '{' stays pushed back
  char c = ReadNextChar(0);
  if (c != '{') {
    SetNextChar(c);
    return;
  }
  for (;;) {
    c = ReadNextChar(1);
    if (c == '}') return;  // also after a trailing comma
    SetNextChar(c);
    std::string key = StreamReadString(this);
    if (key.empty()) return;
    // The colon must follow the key's closing quote at once.
    if (ReadNextChar(0) != ':') return;
    std::unique_ptr<JSONNode> value(ReadValueNode());
    JSONNode*& slot = m_mapValues[key];
    // A duplicate key replaces the earlier member, which nothing refers to
    // any more.
    delete slot;
    slot = value.release();
    // The comma (or the closing brace) must follow the value at once.
    if (ReadNextChar(0) != ',') return;
  }
}

JSONNode* JSONObject::GetValue(std::string key) {
  const auto it = m_mapValues.find(key);
  return it == m_mapValues.end() ? nullptr : it->second;
}

// ---- JSONArray ----

JSONArray::JSONArray(JSONStream* stream) : JSONNode(stream) {
  m_nType = JSONTypeArray;
  try {
    Parse();
  } catch (...) {
    for (JSONNode* item : m_vecItems) delete item;
    throw;
  }
}

JSONArray::~JSONArray() {
  for (JSONNode* item : m_vecItems) delete item;
}

void JSONArray::Parse() {
  if (m_pStream == nullptr) return;
  CDepthGuard depth;
  if (depth.TooDeep()) return;  // the '[' stays pushed back
  char c = ReadNextChar(0);
  if (c != '[') {
    SetNextChar(c);
    return;
  }
  for (;;) {
    c = ReadNextChar(1);
    if (c == ']') return;  // also after a trailing comma
    SetNextChar(c);
    std::unique_ptr<JSONNode> item(ReadValueNode());
    m_vecItems.push_back(item.get());
    item.release();
    // Unlike in objects, whitespace before the comma is passed over.
    if (ReadNextChar(1) != ',') return;
  }
}

std::size_t JSONArray::GetCount() { return m_vecItems.size(); }

JSONNode* JSONArray::operator[](std::size_t index) {
  return index < m_vecItems.size() ? m_vecItems[index] : nullptr;
}

JSONNode* JSONArray::operator[](std::size_t index) const {
  return index < m_vecItems.size() ? m_vecItems[index] : nullptr;
}

// ---- JSONString ----

JSONString::JSONString(JSONStream* stream) : JSONNode(stream) {
  m_nType = JSONTypeString;
  m_strValue = StreamReadString(this);
}

JSONString::~JSONString() {}

std::string JSONString::GetValue() { return m_strValue; }

std::string StreamReadString(JSONNode* node) {
  std::string text;
  if (node == nullptr) return text;
  if (node->ReadNextChar(1) != '"') return text;  // that character stays consumed
  for (;;) {
    const char c = node->ReadNextChar(0);
    // The end of the data is no closing quote, but the string ends there:
    // nothing past it can be read.
    if (c == 0 || c == '"') return text;
    text += c;
    if (c == '\\') {
      // Escapes are kept as written: the backslash and the next character,
      // whatever it is (an escaped quote does not end the string).
      const char escaped = node->ReadNextChar(0);
      if (escaped == 0) return text;
      text += escaped;
    }
  }
}

// ---- JSONNumber ----

JSONNumber::JSONNumber(JSONStream* stream) : JSONNode(stream), m_nTextLength(0) {
  m_nType = JSONTypeNumber;
  std::memset(m_szText, 0, sizeof m_szText);
  Parse();
}

JSONNumber::~JSONNumber() {}

void JSONNumber::Parse() {
  char c = ReadNextChar(0);
  if (c != '-' && !IsDigit(c)) {
    SetNextChar(c);
    return;
  }
  PushBack(c);
  bool seenPoint = false;
  bool seenExponent = false;
  for (;;) {
    c = ReadNextChar(0);
    if (IsDigit(c)) {
      PushBack(c);
    } else if (c == '.' && !seenPoint) {
      seenPoint = true;
      PushBack(c);
    } else if ((c == 'e' || c == 'E') && !seenExponent) {
      seenExponent = true;
      PushBack(c);
    } else {
      // Anything else ends the number, a sign after the exponent letter
      // included, and is left for the enclosing value.
      SetNextChar(c);
      return;
    }
  }
}

std::string JSONNumber::GetValue() { return std::string(m_szText, m_nTextLength); }

void JSONNumber::PushBack(char c) {
  if (m_nTextLength < sizeof m_szText - 1) m_szText[m_nTextLength++] = c;
}

// ---- Words ----

JSONDefinedToken::JSONDefinedToken(JSONStream* stream) : JSONNode(stream) {}

JSONDefinedToken::~JSONDefinedToken() {}

void JSONDefinedToken::Parse() {
  for (const char expected : m_strToken) {
    const char c = ReadNextChar(0);
    if (c != expected) {
      SetNextChar(c);
      return;
    }
  }
}

JSONTrue::JSONTrue(JSONStream* stream) : JSONDefinedToken(stream) {
  m_strToken = "true";
  m_nType = JSONTypeTrue;
  Parse();
}

JSONTrue::~JSONTrue() {}

JSONFalse::JSONFalse(JSONStream* stream) : JSONDefinedToken(stream) {
  m_strToken = "false";
  m_nType = JSONTypeFalse;
  Parse();
}

JSONFalse::~JSONFalse() {}

JSONNull::JSONNull(JSONStream* stream) : JSONDefinedToken(stream) {
  m_strToken = "null";
  m_nType = JSONTypeNull;
  Parse();
}

JSONNull::~JSONNull() {}

// ---- Conversions ----

namespace {

// The text of a number node, or null for any other node.
const char* NumberText(JSONNode* node, std::string& holder) {
  if (node == nullptr || node->GetType() != JSONTypeNumber) return nullptr;
  holder = static_cast<JSONNumber*>(node)->GetValue();
  return holder.c_str();
}

}  // namespace

std::string JSONNodeToString(JSONNode* node, const std::string& defaultValue) {
  if (node == nullptr || node->GetType() != JSONTypeString) return defaultValue;
  return static_cast<JSONString*>(node)->GetValue();
}

std::int32_t JSONNodeToInt(JSONNode* node, std::int32_t defaultValue) {
  std::string holder;
  const char* text = NumberText(node, holder);
  if (text == nullptr) return defaultValue;
  // What atoi gives, without its undefined behaviour on out-of-range text
  // (up to 63 digits): the C libraries' atoi is this very conversion.
  return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
}

double JSONNodeToDouble(JSONNode* node, double defaultValue) {
  std::string holder;
  const char* text = NumberText(node, holder);
  if (text == nullptr) return defaultValue;
  return std::strtod(text, nullptr);  // atof, with defined results out of range
}

long JSONNodeToTime32(JSONNode* node, long defaultValue) {
  std::string holder;
  const char* text = NumberText(node, holder);
  if (text == nullptr) return defaultValue;
  // Milliseconds to seconds by dropping the last three characters; a text
  // of three characters or fewer leaves nothing, which is 0.
  if (holder.size() <= 3) return 0;
  holder.resize(holder.size() - 3);
  return static_cast<long>(std::strtoul(holder.c_str(), nullptr, 0));
}
