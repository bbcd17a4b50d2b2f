#include "platform/testsupport/files.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kv::test {

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

void WriteText(const std::string& path, const std::string& text) {
  if (!WriteBytes(path, text)) throw std::runtime_error("cannot write " + path);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kv::test
