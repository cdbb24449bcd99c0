/*
 * Zervon SDK: a small JSON reader, exported by the macOS library.
 *
 * The reader parses while it constructs: building a node reads that node's
 * text from a character stream, and an object or array builds its children
 * the same way. It reads a narrow dialect of JSON:
 *   - whitespace is only space (0x20) and line feed (0x0A); a tab or a
 *     carriage return where whitespace would be skipped ends the value;
 *   - no whitespace between a key's closing quote and its ':', nor between
 *     an object member's value and the following ',' or '}';
 *   - string escapes stay as written (a backslash and the next character);
 *   - numbers are kept as text (at most 63 characters) and converted only by
 *     the JSONNodeTo... functions;
 *   - a trailing comma before '}' or ']' is accepted; a duplicate key
 *     replaces the earlier member.
 * It never reports an error: malformed text ends the current object or array
 * early or yields an empty node, and reading goes on from there. An object
 * or array nested more than 256 deep is read as empty, without consuming its
 * opening bracket, which then ends the enclosing values the way any other
 * misplaced character does: no document can exhaust the stack.
 *
 * Ownership: whoever creates the root node deletes it, and with it the whole
 * tree. Nodes keep the stream they were read from, never delete it, and use
 * it only while they are being built. JSONFile owns its buffer.
 *
 * A stream and the nodes built from it belong to one thread at a time;
 * separate documents may be read on separate threads.
 */
#ifndef ZERVON_JSON_H
#define ZERVON_JSON_H

#ifndef __cplusplus
#  error "zervon_json.h declares C++ classes; include it from C++"
#endif

#include "zervon.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

/* The type codes that JSONNode::GetType returns. */
enum JSONNodeType {
  JSONTypeObject = 0,
  JSONTypeArray = 1,
  JSONTypeString = 2,
  JSONTypeNumber = 3,
  JSONTypeTrue = 4,
  JSONTypeFalse = 5,
  JSONTypeNull = 6,
  JSONTypeUndefined = 7 /* a plain JSONNode or JSONDefinedToken */
};

/* ---- Character streams ---- */

/* A source of characters with a one-character push-back slot. 0 stands for
 * the end of the data (and, in the slot, for "nothing pushed back"), so a
 * NUL byte in the data ends it. */
class ZERVON_EXT_API JSONStream {
 public:
  JSONStream();
  virtual ~JSONStream();
  /* The next raw character, 0 at the end of the data. */
  virtual char ReadChar() = 0;

  /* The pushed-back character if there is one (emptying the slot), else the
   * next raw character. */
  char ReadNextChar();
  /* Pushes c back; one character deep, a second push-back replaces the
   * first. Pushing back 0 empties the slot. */
  void SetNextChar(char c);
  /* Empties the push-back slot. */
  void Clear();

 protected:
  char m_cNextChar; /* the push-back slot, 0 when empty */
};

/* A stream over the whole content of a file, read into memory at once. */
class ZERVON_EXT_API JSONFile : public JSONStream {
 public:
  /* Reads the file at path. A file that cannot be opened or read gives an
   * empty stream (the first ReadChar returns 0). */
  explicit JSONFile(std::string path);
  ~JSONFile() override;
  JSONFile(const JSONFile&) = delete;
  JSONFile& operator=(const JSONFile&) = delete;

  /* Replaces the content with that of the file at path (null: none) and
   * starts reading it from its beginning. */
  void LoadFile(const char* path);
  /* The next byte of the file, 0 at its end. A NUL byte in the file ends the
   * data there: every later call returns 0 as well. */
  char ReadChar() override;

 protected:
  char* m_pBuffer;          /* the file's bytes, owned; null when empty */
  std::uint32_t m_nSize;    /* number of bytes in m_pBuffer */
  std::uint32_t m_nPos;     /* read position in m_pBuffer */
};

/* ---- Nodes ---- */

/* The base of every node. Its own constructor reads nothing. */
class ZERVON_EXT_API JSONNode {
 public:
  /* Stores the stream (which may be null: the node then reads nothing);
   * type JSONTypeUndefined. */
  explicit JSONNode(JSONStream* stream);
  virtual ~JSONNode();
  JSONNode(const JSONNode&) = delete;
  JSONNode& operator=(const JSONNode&) = delete;

  /* The stream's next character (0 without a stream); with skip non-zero,
   * spaces and line feeds are passed over first. */
  char ReadNextChar(std::int32_t skip);
  /* Pushes c back into the stream, if the node has one. */
  void SetNextChar(char c);
  /* Reads one value from the stream, whitespace before it skipped, and
   * returns the new node, owned by the caller; never null. The first
   * character chooses the kind: '"' string, '{' object, '[' array, 't'
   * true, 'f' false, 'n' null, anything else a number (empty when the
   * character cannot start one; the character then stays pushed back). */
  JSONNode* ReadValueNode();
  /* The type code (JSONNodeType). */
  std::int32_t GetType();

 protected:
  JSONStream* m_pStream; /* read from while building; not owned */
  std::int32_t m_nType;
};

/* An object: members by key, in byte-wise key order. */
class ZERVON_EXT_API JSONObject : public JSONNode {
 public:
  /* Reads an object from the stream. Text that does not begin with '{'
   * gives an empty object and stays unread. */
  explicit JSONObject(JSONStream* stream);
  ~JSONObject() override;

  /* The member stored under key, or null; it stays owned by the object. */
  JSONNode* GetValue(std::string key);

 private:
  void Parse();
  std::map<std::string, JSONNode*> m_mapValues;
};

/* An array: elements in document order. */
class ZERVON_EXT_API JSONArray : public JSONNode {
 public:
  /* Reads an array from the stream. Text that does not begin with '['
   * gives an empty array and stays unread. */
  explicit JSONArray(JSONStream* stream);
  ~JSONArray() override;

  /* The number of elements. */
  std::size_t GetCount();
  /* The element at index, or null when index is not below the count; it
   * stays owned by the array. */
  JSONNode* operator[](std::size_t index);
  JSONNode* operator[](std::size_t index) const;

 private:
  void Parse();
  std::vector<JSONNode*> m_vecItems;
};

/* A string: the characters between the quotes, escapes kept as written. */
class ZERVON_EXT_API JSONString : public JSONNode {
 public:
  /* Reads a quoted string (whitespace before it skipped). Text that does
   * not begin with '"' gives an empty string; that character is consumed. */
  explicit JSONString(JSONStream* stream);
  ~JSONString() override;

  /* A copy of the characters. */
  std::string GetValue();

 private:
  std::string m_strValue;
};

/* A number, kept as its text: a '-' or digit, then digits with at most one
 * '.' and at most one 'e' or 'E'. The text is not validated further. */
class ZERVON_EXT_API JSONNumber : public JSONNode {
 public:
  /* Reads a number; the first character that does not belong to it stays
   * pushed back. */
  explicit JSONNumber(JSONStream* stream);
  ~JSONNumber() override;

  /* A copy of the text (at most 63 characters). */
  std::string GetValue();
  /* Appends c to the text while fewer than 63 characters are stored;
   * otherwise drops it. */
  void PushBack(char c);

 private:
  void Parse();
  char m_szText[64];          /* NUL-terminated text */
  std::size_t m_nTextLength;  /* characters in m_szText */
};

/* A word that must follow in the stream ("true", "false", "null"). The
 * base itself has type JSONTypeUndefined and an empty word, and reads
 * nothing. */
class ZERVON_EXT_API JSONDefinedToken : public JSONNode {
 public:
  explicit JSONDefinedToken(JSONStream* stream);
  ~JSONDefinedToken() override;

 protected:
  /* Reads the word character by character; at the first character that
   * differs, pushes it back and stops. A partial word is not an error: the
   * node keeps its type, and the matched characters stay consumed. */
  void Parse();
  std::string m_strToken;
};

class ZERVON_EXT_API JSONTrue : public JSONDefinedToken {
 public:
  explicit JSONTrue(JSONStream* stream);
  ~JSONTrue() override;
};

class ZERVON_EXT_API JSONFalse : public JSONDefinedToken {
 public:
  explicit JSONFalse(JSONStream* stream);
  ~JSONFalse() override;
};

class ZERVON_EXT_API JSONNull : public JSONDefinedToken {
 public:
  explicit JSONNull(JSONStream* stream);
  ~JSONNull() override;
};

/* ---- Conversions ----
 *
 * Each accepts a null node and returns the default for a null node or a
 * node of another type. A number text without digits converts to 0.
 */

/* The characters of a string node, else the default. */
ZERVON_EXT_API std::string JSONNodeToString(JSONNode* node, const std::string& defaultValue);
/* A number node's text as a decimal integer (what atoi reads: the leading
 * digits, so 2.9 gives 2), else the default. */
ZERVON_EXT_API std::int32_t JSONNodeToInt(JSONNode* node, std::int32_t defaultValue);
/* A number node's text as a double (what atof reads), else the default. */
ZERVON_EXT_API double JSONNodeToDouble(JSONNode* node, double defaultValue);
/* A millisecond time stamp in a number node, as whole seconds: the text
 * without its last three characters, read by strtoul with base 0 (so a
 * leading 0 makes the rest octal) and returned as a signed long. A text of
 * three characters or fewer gives 0. Else the default. */
ZERVON_EXT_API long JSONNodeToTime32(JSONNode* node, long defaultValue);
/* Reads one quoted string through the node's stream: whitespace before it
 * is skipped; when the next character is not '"' it is consumed and the
 * result is empty. The characters up to the closing quote are returned,
 * escapes as written (an escaped quote stays inside). A string still open
 * at the end of the data ends there. A null node gives an empty string. */
ZERVON_EXT_API std::string StreamReadString(JSONNode* node);

#endif /* ZERVON_JSON_H */
