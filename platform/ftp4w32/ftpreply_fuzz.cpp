// Server replies are outside input: the reader and the reply-text parsers
// must take anything without reading or writing out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ftp4w32/ftpreply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the size of the pieces the stream arrives in.
  const size_t step = 1 + data[0] % 64;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  kvftp::ReplyReader reader;
  for (size_t pos = 0; pos < length; pos += step) {
    reader.Feed(text + pos, std::min(step, length - pos));
    kvftp::Reply reply;
    while (reader.Next(&reply) == kvftp::ReplyReader::Status::kReply) {
      if (reply.code < 100 || reply.code > 599) __builtin_trap();
      uint32_t address;
      uint16_t port;
      kvftp::ParsePassiveReply(reply.text, &address, &port);
      std::string folder;
      kvftp::ParsePwdReply(reply.text, &folder);
      kvftp::ParseTransferSize(reply.text);
      kvftp::ParseSizeReply(reply.text);
    }
  }
  std::string_view whole(text, length);
  uint32_t address;
  uint16_t port;
  kvftp::ParsePassiveReply(whole, &address, &port);
  std::string folder;
  kvftp::ParsePwdReply(whole, &folder);
  kvftp::ParseTransferSize(whole);
  kvftp::ParseSizeReply(whole);
  return 0;
}
