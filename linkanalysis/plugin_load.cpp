// The plug-in module's load and unload: kvm_link.so registers the LED window
// class when it is loaded and unregisters it when it is unloaded. (Only the
// module carries this file's hooks; the tests link the library without it.)
#include "linkanalysis/crawl.h"

namespace {

__attribute__((constructor)) void OnLoad() { kvla::AttachLinkAnalysis(); }

__attribute__((destructor)) void OnUnload() { kvla::DetachLinkAnalysis(); }

}  // namespace
