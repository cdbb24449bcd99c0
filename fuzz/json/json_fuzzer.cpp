// libFuzzer target: the JSON reader over arbitrary bytes. Every root kind is
// built from the same input, the conversions run over the result, and the
// tree is freed; the sanitizers report any read past the data, leak or
// undefined behaviour, and libFuzzer any hang.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zervon_json.h"

namespace {

// The fuzzer's bytes as a stream, 0 at their end.
class BytesStream : public JSONStream {
 public:
  BytesStream(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  char ReadChar() override { return m_pos < m_size ? static_cast<char>(m_data[m_pos++]) : 0; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

void Convert(JSONNode* node) {
  JSONNodeToString(node, "d");
  JSONNodeToInt(node, 1);
  JSONNodeToDouble(node, 1.0);
  JSONNodeToTime32(node, 1);
}

// Visits arrays fully and objects through a few likely keys.
void Walk(JSONNode* node, int depth) {
  if (node == nullptr || depth > 300) return;
  Convert(node);
  if (node->GetType() == JSONTypeArray) {
    auto* array = static_cast<JSONArray*>(node);
    for (size_t i = 0; i <= array->GetCount(); ++i) Walk((*array)[i], depth + 1);
  } else if (node->GetType() == JSONTypeObject) {
    auto* object = static_cast<JSONObject*>(node);
    for (const char* key : {"a", "k", "", "0"}) Walk(object->GetValue(key), depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    BytesStream stream(data, size);
    std::unique_ptr<JSONNode> root(JSONNode(&stream).ReadValueNode());
    Walk(root.get(), 0);
    // Whatever follows the first value is read as further values.
    for (int i = 0; i < 4; ++i) {
      std::unique_ptr<JSONNode> next(JSONNode(&stream).ReadValueNode());
      Walk(next.get(), 0);
    }
  }
  {
    BytesStream stream(data, size);
    JSONObject object(&stream);
    Walk(&object, 0);
  }
  {
    BytesStream stream(data, size);
    JSONArray array(&stream);
    Walk(&array, 0);
  }
  {
    BytesStream stream(data, size);
    JSONString string(&stream);
    JSONNumber number(&stream);
    JSONTrue word(&stream);
    Convert(&string);
    Convert(&number);
  }
  return 0;
}
