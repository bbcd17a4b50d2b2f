// Fuzz target: a link database read back from damaged files. The input is
// split into the bodies of LINKANLZ.DAT, .REF and .DYD (each behind a valid
// header), and every reader runs over every record.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "linkanalysis/linkcontext.h"
#include "linkanalysis/linkdb.h"

namespace {

const std::string& Folder() {
  static std::string folder = [] {
    char name[] = "/tmp/kvlinkfuzzXXXXXX";
    if (!mkdtemp(name)) std::abort();
    return std::string(name);
  }();
  return folder;
}

void Write(const std::string& name, const uint8_t* data, size_t size) {
  unsigned char header[kvla::kHeaderSize];
  kvla::EncodeHeader(header);
  std::FILE* f = std::fopen((Folder() + "/" + name).c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(header, 1, sizeof header, f);
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvla;
  if (size < 4) return 0;
  size_t datSize = std::min<size_t>(data[0] | data[1] << 8, size - 4);
  size_t refSize = std::min<size_t>(data[2] | data[3] << 8, size - 4 - datSize);
  const uint8_t* p = data + 4;
  Write("LINKANLZ.DAT", p, datSize);
  Write("LINKANLZ.REF", p + datSize, refSize);
  Write("LINKANLZ.DYD", p + datSize + refSize, size - 4 - datSize - refSize);

  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = Folder();
  if (!KVLA_CheckDatabaseVersion(&ctx, 2, 0) || !OpenLinkDatabase(&ctx)) return 0;
  char text[kMaxDynamicText];
  char url[300];
  for (int32_t i = 0; i < ctx.count && i < 16; ++i) {
    PageRecord rec{};
    if (!KVLA_ReadDatabaseItem(&ctx, i, &rec)) continue;
    KVLA_GetPageTitle(&ctx, &rec, text);
    for (uint32_t off : {rec.originalPath, rec.title, rec.metaText, rec.baseDir, rec.userName, rec.password,
                         rec.linkText})
      KVLA_GetDynamicData(&ctx, static_cast<int32_t>(off), text);
    for (int32_t kind = 0; kind < 2; ++kind) {
      int32_t n = 0;
      std::free(KVLA_ReadReferenceList(&ctx, &rec, kind, &n));
    }
    PageRecord other{};
    for (int32_t n = 0; n < 3; ++n) {
      KVLA_GetPageParent(&ctx, &rec, url, n, sizeof url - 1, &other);
      KVLA_GetPageChild(&ctx, &rec, url, n, -1, sizeof url - 1, &other);
      KVLA_GetPageChild(&ctx, &rec, url, n, 404, sizeof url - 1, &other);
    }
  }
  return 0;
}
