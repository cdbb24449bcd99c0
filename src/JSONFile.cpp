// JSON reader: the push-back stream and the stream over a whole file.
#include "JSONFile.h"

#include <fstream>
#include <new>

JSONStream::JSONStream() : m_cNextChar(0) {}

JSONStream::~JSONStream() {}

char JSONStream::ReadNextChar() {
  if (m_cNextChar != 0) {
    const char c = m_cNextChar;
    m_cNextChar = 0;
    return c;
  }
  return ReadChar();
}

void JSONStream::SetNextChar(char c) { m_cNextChar = c; }

void JSONStream::Clear() { m_cNextChar = 0; }

JSONFile::JSONFile(std::string path) : m_pBuffer(nullptr), m_nSize(0), m_nPos(0) {
  LoadFile(path.c_str());
}

JSONFile::~JSONFile() { delete[] m_pBuffer; }

void JSONFile::LoadFile(const char* path) {
  Clear();  // nothing of the old content stays pushed back
  delete[] m_pBuffer;
  m_pBuffer = nullptr;
  m_nSize = 0;
  m_nPos = 0;
  if (path == nullptr) return;

  std::ifstream file(path);
  if (!file.is_open()) return;  // no data: the stream is empty
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();  // the size, or -1 when the file cannot seek
  if (end <= 0) return;
  // The size is kept in 32 bits; a larger file is read as far as that goes.
  const std::uint32_t size =
      end > static_cast<std::streamoff>(0xFFFFFFFFu) ? 0xFFFFFFFFu : static_cast<std::uint32_t>(end);
  file.seekg(0, std::ios::beg);
  char* buffer = new (std::nothrow) char[size];
  if (buffer == nullptr) return;  // too large to hold: an empty document
  file.read(buffer, size);
  // Only what was read counts (a file that shrank meanwhile, or a directory,
  // which opens but cannot be read): no byte is ever handed out unread.
  const std::streamsize got = file.gcount();
  if (got <= 0) {
    delete[] buffer;
    return;
  }
  m_pBuffer = buffer;
  m_nSize = static_cast<std::uint32_t>(got);
}

char JSONFile::ReadChar() {
  if (m_nPos >= m_nSize) return 0;
  const char c = m_pBuffer[m_nPos++];
  // 0 is the end of the data: a NUL byte ends it for good, so nothing after
  // it is ever read as a continuation of the document.
  if (c == 0) m_nPos = m_nSize;
  return c;
}
