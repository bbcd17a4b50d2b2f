// Fuzzes the reading of outside text by remote log fetches: HTTP response
// heads, chunked bodies, FTP long-listing lines and the list file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/network/remote_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A response head is read into at most kHttpHeadLimit bytes and a
  // terminating zero.
  static char buffer[vrn::kHttpHeadLimit + 1];
  const size_t fill = size < vrn::kHttpHeadLimit ? size : vrn::kHttpHeadLimit;
  for (size_t i = 0; i < fill; ++i) buffer[i] = static_cast<char>(data[i]);
  buffer[fill] = '\0';
  vrn::HttpResponseHead head;
  if (vrn::ScanHttpResponseHead(buffer, fill, &head) == vrn::HeadScan::kParsed) {
    if (head.headerLength > fill) __builtin_trap();
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  // A body read as chunks, in two reads split where the first byte says.
  vrn::ChunkDecoder chunks;
  chunks.Start();
  std::string body = text;
  const size_t split = size > 0 ? data[0] % (size + 1) : 0;
  const size_t first = chunks.Decode(body.data(), split);
  const size_t second = chunks.Decode(body.data() + split, body.size() - split);
  if (first > split || second > body.size() - split) __builtin_trap();
  vrn::ParseListingLine(text);
  uint64_t listed = 0;
  vrn::SizeFromListingLine(text.c_str(), &listed);
  vrn::FetchFileList list;
  vrn::ParseURLListText(text, &list, "cache/");
  if (list.count != list.records.size()) __builtin_trap();
  return 0;
}
