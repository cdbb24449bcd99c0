// The JSON reader: tree building, the narrow whitespace rules, escapes,
// numbers, words, malformed text, conversions, files, the nesting bound and
// ownership of large documents.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "JSONParser.h"
#include "zervon_json.h"

namespace {

// A stream over a text, 0 at its end; counts the reads made after the end
// was first reported.
class TextStream : public JSONStream {
 public:
  explicit TextStream(std::string text) : m_text(std::move(text)) {}
  char ReadChar() override {
    if (m_pos < m_text.size()) return m_text[m_pos++];
    ++m_readsAtEnd;
    return 0;
  }
  size_t ReadsAtEnd() const { return m_readsAtEnd; }
  size_t Position() const { return m_pos; }

 private:
  std::string m_text;
  size_t m_pos = 0;
  size_t m_readsAtEnd = 0;
};

// Parses text as one value; the stream lives as long as the holder.
struct Parsed {
  explicit Parsed(const std::string& text) : stream(text), root(JSONNode(&stream).ReadValueNode()) {}
  TextStream stream;
  std::unique_ptr<JSONNode> root;
  JSONObject* Object() { return static_cast<JSONObject*>(root.get()); }
  JSONArray* Array() { return static_cast<JSONArray*>(root.get()); }
};

std::string Text(JSONNode* node) {
  if (node == nullptr) return "<null>";
  if (node->GetType() == JSONTypeNumber) return static_cast<JSONNumber*>(node)->GetValue();
  if (node->GetType() == JSONTypeString) return static_cast<JSONString*>(node)->GetValue();
  return "<type " + std::to_string(node->GetType()) + ">";
}

// The depth of the chain of first elements of nested arrays.
int ArrayDepth(JSONNode* node) {
  int depth = 0;
  while (node != nullptr && node->GetType() == JSONTypeArray) {
    ++depth;
    node = (*static_cast<JSONArray*>(node))[0];
  }
  return depth;
}

std::string TempPath(const char* name) {
  return std::string("/tmp/zervon-json-") + std::to_string(getpid()) + "-" + name;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

}  // namespace

TEST(JsonTree, CompactDocumentBuildsTheFullTree) {
  Parsed p(R"({"name":"probe","ver":[1,2,{"x":true,"y":false,"z":null}],"n":-3.5e2})");
  ASSERT_EQ(p.root->GetType(), JSONTypeObject);
  EXPECT_EQ(Text(p.Object()->GetValue("name")), "probe");
  EXPECT_EQ(Text(p.Object()->GetValue("n")), "-3.5e2");
  EXPECT_EQ(p.Object()->GetValue("missing"), nullptr);
  auto* ver = static_cast<JSONArray*>(p.Object()->GetValue("ver"));
  ASSERT_NE(ver, nullptr);
  ASSERT_EQ(ver->GetType(), JSONTypeArray);
  ASSERT_EQ(ver->GetCount(), 3u);
  EXPECT_EQ(Text((*ver)[1]), "2");
  EXPECT_EQ((*ver)[3], nullptr);
  const JSONArray& constVer = *ver;
  EXPECT_EQ(constVer[0], (*ver)[0]);
  EXPECT_EQ(constVer[99], nullptr);
  auto* inner = static_cast<JSONObject*>((*ver)[2]);
  EXPECT_EQ(inner->GetValue("x")->GetType(), JSONTypeTrue);
  EXPECT_EQ(inner->GetValue("y")->GetType(), JSONTypeFalse);
  EXPECT_EQ(inner->GetValue("z")->GetType(), JSONTypeNull);
  // Spaces and line feeds are skipped before keys and values.
  Parsed spaced("{ \"a\": 1,\n  \"b\":\n[ 2 ]}");
  EXPECT_EQ(Text(spaced.Object()->GetValue("a")), "1");
  EXPECT_EQ(static_cast<JSONArray*>(spaced.Object()->GetValue("b"))->GetCount(), 1u);
}

TEST(JsonWhitespace, ObjectsEndAtWhitespaceAfterAValueOrBeforeAColon) {
  Parsed beforeComma(R"({"a":1 ,"b":2})");
  EXPECT_EQ(Text(beforeComma.Object()->GetValue("a")), "1");
  EXPECT_EQ(beforeComma.Object()->GetValue("b"), nullptr);
  Parsed beforeBrace("{\"a\":1\n}");
  EXPECT_EQ(Text(beforeBrace.Object()->GetValue("a")), "1");
  Parsed beforeColon(R"({"a" :1})");
  EXPECT_EQ(beforeColon.Object()->GetValue("a"), nullptr);
  // The inner object ends at the space; the outer then reads '}' instead of
  // a comma and ends too, so "c" is never read.
  Parsed nested(R"({"o":{"a":1 },"c":3})");
  EXPECT_NE(nested.Object()->GetValue("o"), nullptr);
  EXPECT_EQ(nested.Object()->GetValue("c"), nullptr);
  // The same in an array: the '}' left after the space is no comma.
  Parsed inArray(R"([{"a":1 },2])");
  EXPECT_EQ(inArray.Array()->GetCount(), 1u);
  // An array inside an object may have whitespace before its ']', which it
  // consumes, so the object goes on.
  Parsed arrayMember(R"({"o":[1 ],"c":3})");
  EXPECT_EQ(Text(arrayMember.Object()->GetValue("c")), "3");
}

TEST(JsonWhitespace, PrettyPrintedDocuments) {
  // Line feeds and spaces: every member is read; the line feed before the
  // final '}' ends the object there.
  Parsed lf("{\n  \"a\": 1,\n  \"b\": [\n    2,\n    3\n  ],\n  \"c\": \"x\"\n}\n");
  EXPECT_EQ(Text(lf.Object()->GetValue("a")), "1");
  EXPECT_EQ(static_cast<JSONArray*>(lf.Object()->GetValue("b"))->GetCount(), 2u);
  EXPECT_EQ(Text(lf.Object()->GetValue("c")), "x");
  // The same with carriage returns or tab indentation ends at the first
  // carriage return or tab where whitespace would be skipped.
  Parsed crlf("{\"a\": 1,\r\n  \"b\": 2\r\n}");
  EXPECT_EQ(Text(crlf.Object()->GetValue("a")), "1");
  EXPECT_EQ(crlf.Object()->GetValue("b"), nullptr);
  Parsed tabs("{\n\t\"a\": 1\n}");
  EXPECT_EQ(tabs.Object()->GetValue("a"), nullptr);
  Parsed tabBeforeValue("{\"a\":\t1}");
  EXPECT_EQ(Text(tabBeforeValue.Object()->GetValue("a")), "");
}

TEST(JsonWhitespace, ArraysAcceptWhitespaceBeforeTheComma) {
  Parsed p("[1 , 2\n,3 ]");
  ASSERT_EQ(p.Array()->GetCount(), 3u);
  EXPECT_EQ(Text((*p.Array())[2]), "3");
}

TEST(JsonWhitespace, CarriageReturnAndTabAreNotWhitespace) {
  Parsed cr("{\r\n\"a\":1}");
  EXPECT_EQ(cr.Object()->GetValue("a"), nullptr);
  Parsed tab("[\t1]");
  ASSERT_EQ(tab.Array()->GetCount(), 1u);
  EXPECT_EQ(Text((*tab.Array())[0]), "");  // the tab starts no value
  Parsed crlf("[1,\r\n2]");
  ASSERT_EQ(crlf.Array()->GetCount(), 2u);
  EXPECT_EQ(Text((*crlf.Array())[1]), "");
}

TEST(JsonStrings, EscapesStayAsWritten) {
  Parsed p(R"({"nl":"a\nb","q":"say \"hi\"","bs":"x\\","after":"ok"})");
  EXPECT_EQ(Text(p.Object()->GetValue("nl")), "a\\nb");
  EXPECT_EQ(Text(p.Object()->GetValue("q")), "say \\\"hi\\\"");
  EXPECT_EQ(Text(p.Object()->GetValue("bs")), "x\\\\");
  EXPECT_EQ(Text(p.Object()->GetValue("after")), "ok");
  Parsed key(R"({"a\"b":1})");
  EXPECT_EQ(Text(key.Object()->GetValue("a\\\"b")), "1");
  Parsed high("\"\xC3\xA9\x80\"");
  EXPECT_EQ(Text(high.root.get()), "\xC3\xA9\x80");
}

TEST(JsonStrings, StringOpenAtTheEndStopsThere) {
  for (const char* text : {"\"abc", "\"ab\\", "{\"k\":\"unterminated", "[\"x", "{\"open"}) {
    Parsed p(text);
    EXPECT_LE(p.stream.ReadsAtEnd(), 4u) << text;  // no loop over the end of the data
  }
  Parsed p("\"abc");
  EXPECT_EQ(Text(p.root.get()), "abc");
}

TEST(JsonNumbers, TextRulesAndTheSixtyThreeCharacterLimit) {
  Parsed exponent("[1e-5,2]");
  ASSERT_EQ(exponent.Array()->GetCount(), 1u);  // the minus ends the array
  EXPECT_EQ(Text((*exponent.Array())[0]), "1e");
  Parsed inObject(R"({"a":1e-5,"b":2})");
  EXPECT_EQ(Text(inObject.Object()->GetValue("a")), "1e");
  EXPECT_EQ(inObject.Object()->GetValue("b"), nullptr);
  // Texts are kept unvalidated; a second '.' or exponent letter ends the
  // number and, being no comma, the array.
  Parsed odd("[-,1e,1.2e3.4,5]");
  ASSERT_EQ(odd.Array()->GetCount(), 3u);
  EXPECT_EQ(Text((*odd.Array())[0]), "-");
  EXPECT_EQ(Text((*odd.Array())[1]), "1e");
  EXPECT_EQ(Text((*odd.Array())[2]), "1.2e3");
  Parsed twoExponents("[1E2e3]");
  EXPECT_EQ(Text((*twoExponents.Array())[0]), "1E2");
  const std::string seventy(70, '7');
  Parsed longNumber("[" + seventy + ",5]");
  ASSERT_EQ(longNumber.Array()->GetCount(), 2u);  // all 70 consumed
  EXPECT_EQ(Text((*longNumber.Array())[0]), std::string(63, '7'));
  JSONNumber direct(nullptr);
  for (int i = 0; i < 80; ++i) direct.PushBack('1');
  EXPECT_EQ(direct.GetValue().size(), 63u);
}

TEST(JsonObjects, DuplicateKeysKeepTheLastAndTrailingCommasAreAccepted) {
  Parsed dup(R"({"k":1,"k":[2],"k":"three"})");
  EXPECT_EQ(Text(dup.Object()->GetValue("k")), "three");
  Parsed objComma(R"({"a":1,"b":2,})");
  EXPECT_EQ(Text(objComma.Object()->GetValue("b")), "2");
  Parsed arrComma("[[1,2,],3,]");
  ASSERT_EQ(arrComma.Array()->GetCount(), 2u);
  EXPECT_EQ(static_cast<JSONArray*>((*arrComma.Array())[0])->GetCount(), 2u);
}

TEST(JsonMalformed, EachCaseEndsTheValueAsDescribed) {
  Parsed bad("[#]");
  ASSERT_EQ(bad.Array()->GetCount(), 1u);
  EXPECT_EQ(Text((*bad.Array())[0]), "");
  Parsed badRoot("#");
  EXPECT_EQ(badRoot.root->GetType(), JSONTypeNumber);
  EXPECT_EQ(badRoot.stream.ReadNextChar(), '#');  // left pushed back
  Parsed endInArray("[1,");
  ASSERT_EQ(endInArray.Array()->GetCount(), 2u);
  EXPECT_EQ(Text((*endInArray.Array())[1]), "");
  Parsed endInObject(R"({"a":1,)");
  EXPECT_EQ(Text(endInObject.Object()->GetValue("a")), "1");
  Parsed emptyKey(R"({"":1})");
  EXPECT_EQ(emptyKey.Object()->GetValue(""), nullptr);
  Parsed partial("[tru,nul]");
  ASSERT_EQ(partial.Array()->GetCount(), 2u);
  EXPECT_EQ((*partial.Array())[0]->GetType(), JSONTypeTrue);
  EXPECT_EQ((*partial.Array())[1]->GetType(), JSONTypeNull);
  Parsed empty("");
  EXPECT_EQ(empty.root->GetType(), JSONTypeNumber);
  // Nodes without a stream read nothing.
  JSONObject noStream(nullptr);
  EXPECT_EQ(noStream.GetType(), JSONTypeObject);
  JSONDefinedToken token(nullptr);
  EXPECT_EQ(token.GetType(), JSONTypeUndefined);
  EXPECT_EQ(StreamReadString(nullptr), "");
}

TEST(JsonConversions, TypesDefaultsAndTime32) {
  Parsed p(R"({"ms":1609459200123,"short":123,"oct":0123456,"two":12,"one":5,)"
           R"("f":2.9,"s":"42","neg":-17,"big":99999999999999999999,"e":1e})");
  JSONObject* o = p.Object();
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("ms"), -1), 1609459200L);
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("short"), -1), 0L);
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("oct"), -1), 83L);
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("two"), -1), 0L);
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("one"), -1), 0L);
  EXPECT_EQ(JSONNodeToTime32(o->GetValue("s"), -1), -1L);
  EXPECT_EQ(JSONNodeToTime32(nullptr, 7), 7L);
  EXPECT_EQ(JSONNodeToInt(o->GetValue("f"), -1), 2);
  EXPECT_EQ(JSONNodeToInt(o->GetValue("s"), -1), -1);
  EXPECT_EQ(JSONNodeToInt(o->GetValue("neg"), 0), -17);
  EXPECT_EQ(JSONNodeToInt(nullptr, 9), 9);
  JSONNodeToInt(o->GetValue("big"), 0);  // out of range: defined, no crash
  EXPECT_DOUBLE_EQ(JSONNodeToDouble(o->GetValue("f"), 0), 2.9);
  EXPECT_DOUBLE_EQ(JSONNodeToDouble(o->GetValue("e"), 5), 1.0);
  EXPECT_DOUBLE_EQ(JSONNodeToDouble(o->GetValue("s"), 5), 5.0);
  EXPECT_EQ(JSONNodeToString(o->GetValue("s"), "d"), "42");
  EXPECT_EQ(JSONNodeToString(o->GetValue("f"), "d"), "d");
  EXPECT_EQ(JSONNodeToString(nullptr, "d"), "d");
}

TEST(JsonStream, PushBackIsOneDeep) {
  TextStream s("xy");
  s.SetNextChar('a');
  s.SetNextChar('b');  // replaces 'a'
  EXPECT_EQ(s.ReadNextChar(), 'b');
  EXPECT_EQ(s.ReadNextChar(), 'x');
  s.SetNextChar('c');
  s.Clear();
  EXPECT_EQ(s.ReadNextChar(), 'y');
  EXPECT_EQ(s.ReadNextChar(), 0);
}

TEST(JsonFile, FilesMissingEmptyUnreadableAndWithNul) {
  JSONFile missing("/nonexistent/zervon/doc.json");
  EXPECT_EQ(missing.ReadChar(), 0);
  std::unique_ptr<JSONNode> none(JSONNode(&missing).ReadValueNode());
  EXPECT_EQ(none->GetType(), JSONTypeNumber);
  JSONFile directory("/tmp");
  EXPECT_EQ(directory.ReadChar(), 0);

  const std::string path = TempPath("doc.json");
  WriteFile(path, "");
  JSONFile empty(path);
  EXPECT_EQ(empty.ReadChar(), 0);

  WriteFile(path, "{\"a\":[1,2],\"b\":\"x\"}");
  JSONFile doc(path);
  JSONObject root(&doc);
  EXPECT_EQ(static_cast<JSONArray*>(root.GetValue("a"))->GetCount(), 2u);
  EXPECT_EQ(JSONNodeToString(root.GetValue("b"), ""), "x");
  EXPECT_EQ(doc.ReadChar(), 0);

  // A NUL byte ends the data for good: the array does not go on with ",2".
  WriteFile(path, std::string("[1\0,2]", 6));
  JSONFile withNul(path);
  JSONArray arr(&withNul);
  EXPECT_EQ(arr.GetCount(), 1u);
  EXPECT_EQ(withNul.ReadChar(), 0);

  // Loading again starts the new content from its beginning, with nothing
  // of the old one pushed back.
  WriteFile(path, "[7]");
  withNul.SetNextChar('x');
  withNul.LoadFile(path.c_str());
  JSONArray again(&withNul);
  EXPECT_EQ(JSONNodeToInt(again[0], 0), 7);
  withNul.LoadFile(nullptr);
  EXPECT_EQ(withNul.ReadChar(), 0);
  unlink(path.c_str());
}

TEST(JsonDepth, NestingIsBoundedAndTheBoundEndsTheValue) {
  const int n = kJSONMaxDepth;
  Parsed atBound(std::string(n, '[') + "1" + std::string(n, ']'));
  EXPECT_EQ(ArrayDepth(atBound.root.get()), n);
  Parsed past(std::string(n + 1, '[') + "1" + std::string(n + 1, ']'));
  // The level past the bound is an empty array; its '[' ends the one above.
  EXPECT_EQ(ArrayDepth(past.root.get()), n + 1);
  JSONNode* deepest = past.root.get();
  for (int i = 0; i < n; ++i) deepest = (*static_cast<JSONArray*>(deepest))[0];
  EXPECT_EQ(static_cast<JSONArray*>(deepest)->GetCount(), 0u);

  Parsed million(std::string(1000000, '['));
  EXPECT_EQ(million.root->GetType(), JSONTypeArray);
  std::string objects;
  for (int i = 0; i < 300000; ++i) objects += "{\"a\":";
  Parsed deepObjects(objects);
  EXPECT_EQ(deepObjects.root->GetType(), JSONTypeObject);
  // The count is back to zero after each document.
  Parsed again(std::string(n, '[') + "1" + std::string(n, ']'));
  EXPECT_EQ(ArrayDepth(again.root.get()), n);
}

namespace {

struct DeepParse {
  std::string text;
  int depth = -1;
};

void* ParseDeep(void* arg) {
  auto* job = static_cast<DeepParse*>(arg);
  TextStream stream(job->text);
  std::unique_ptr<JSONNode> root(JSONNode(&stream).ReadValueNode());
  int depth = 0;
  for (JSONNode* node = root.get(); node != nullptr; ++depth) {
    if (node->GetType() == JSONTypeArray)
      node = (*static_cast<JSONArray*>(node))[0];
    else if (node->GetType() == JSONTypeObject)
      node = static_cast<JSONObject*>(node)->GetValue("a");
    else
      break;
  }
  job->depth = depth;
  return nullptr;
}

// Parses text on a thread with a stack of stackKb; the number of arrays and
// objects in the chain of first members, or -1 when the thread could not be
// started.
int DepthOnSmallStack(const std::string& text, size_t stackKb) {
  DeepParse job{text};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackKb * 1024);
  pthread_t thread;
  if (pthread_create(&thread, &attr, ParseDeep, &job) != 0) return -1;
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return job.depth;
}

}  // namespace

TEST(JsonDepth, DeepestNestingFitsTheStackOfAnApplicationThread) {
  // 512 KB is the stack of a secondary thread on macOS; the deepest nesting
  // the reader accepts, of arrays and objects alternating, must fit in it.
  std::string mixed;
  for (int i = 0; i < kJSONMaxDepth / 2; ++i) mixed += "[{\"a\":";
  mixed += "1";
  for (int i = 0; i < kJSONMaxDepth / 2; ++i) mixed += "}]";
  EXPECT_EQ(DepthOnSmallStack(mixed, 512), kJSONMaxDepth);
  // Past the bound: one more, empty, array, and no deeper recursion.
  EXPECT_EQ(DepthOnSmallStack(std::string(1000000, '['), 512), kJSONMaxDepth + 1);
}

TEST(JsonOwnership, LargeDocumentIsFreedWithItsRoot) {
  std::string doc = "{";
  for (int i = 0; i < 20000; ++i) {
    doc += "\"k" + std::to_string(i % 15000) + "\":{\"s\":\"value " + std::to_string(i) +
           "\",\"a\":[1,2.5,true,false,null,[\"x\"],{}],\"n\":-12e3},";
  }
  doc += "\"deep\":" + std::string(kJSONMaxDepth + 10, '[') + "}";
  const std::string path = TempPath("large.json");
  WriteFile(path, doc);
  {
    JSONFile file(path);
    std::unique_ptr<JSONObject> root(new JSONObject(&file));
    EXPECT_NE(root->GetValue("k14999"), nullptr);  // duplicates replaced the first 5000
    EXPECT_EQ(JSONNodeToString(static_cast<JSONObject*>(root->GetValue("k0"))->GetValue("s"), ""),
              "value 15000");
  }
  unlink(path.c_str());
}
