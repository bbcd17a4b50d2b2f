// keywords.ini text and a referrer, split from the input at its first zero
// byte: the engine list is loaded from the text, the referrer's engine and
// keywords are found and counted with their cross tally.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "engine/core/search_keywords.h"

namespace {

class Tables : public vrn::SearchTables {
 public:
  struct Item {
    std::string name;
    uint32_t count = 0;
    void* details = nullptr;
  };
  ~Tables() override {
    for (auto& [key, item] : items_) vrn::FreeSearchDetails(static_cast<vrn::SearchDetail**>(item.details), item.count);
  }
  bool CountItem(uint32_t table, const char* name, uint16_t, uint32_t, vrn::SearchItemRef* ref) override {
    Item& item = items_[std::to_string(table) + ":" + name];
    item.name = name;
    *ref = {item.name.c_str(), &item.count, &item.details};
    return true;
  }

 private:
  std::map<std::string, Item> items_;
};

std::string Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/kvsearchfuzzXXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? std::string(made) + "/" : std::string("/tmp/");
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string ini = input.substr(0, cut);
  const std::string referrer = cut == std::string::npos ? std::string() : input.substr(cut + 1);
  const std::string path = Folder() + "keywords.ini";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(ini.data(), 1, ini.size(), f);
    std::fclose(f);
  }
  vrn::SearchEngine* engines = nullptr;
  Tables tables;
  vrn::ProcessSearchReferrerIn(Folder().c_str(), &engines, &tables, referrer.c_str(), 0, 1);
  vrn::ProcessSearchReferrerIn(Folder().c_str(), &engines, &tables, referrer.c_str(), 1, 0);
  vrn::FreeSearchEngines(&engines);
  return 0;
}
